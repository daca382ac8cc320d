#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "diagnostics.h"
#include "json_line.h"
#include "loader.h"

namespace orvex {
namespace {

struct Loaded {
  std::vector<LoadedObject> objects;
  std::string out;  // everything written to file descriptor 1
};

// Runs load_objects with file descriptor 1 sent to a temporary file.
Loaded load(const std::string& text) {
  fflush(stdout);
  FILE* capture = tmpfile();
  int saved = dup(1);
  dup2(fileno(capture), 1);
  Loaded r;
  try {
    StdoutSink out;
    r.objects = load_objects(text, out);
  } catch (...) {
    dup2(saved, 1);
    close(saved);
    fclose(capture);
    throw;
  }
  dup2(saved, 1);
  close(saved);
  rewind(capture);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, capture)) > 0) r.out.append(buf, n);
  fclose(capture);
  return r;
}

std::vector<std::string> ids(const Loaded& r) {
  std::vector<std::string> out;
  for (const auto& o : r.objects) out.push_back(o.id);
  return out;
}

const std::string kTri = R"("faces":[3,0,1,2],"vertices":[0,0,0,1,0,0,0,1,0])";

std::string inline_mesh(const std::string& id, const std::string& members = kTri) {
  return R"({"speckle_type":"Objects.Geometry.Mesh","id":")" + id + R"(",)" + members + "}";
}

std::string ref(const std::string& key) {
  return R"({"speckle_type":"reference","referencedId":")" + key + R"("})";
}

std::string root(const std::string& key, const std::string& elements,
                 const std::string& id_json = "\"R\"") {
  return key + "\t{\"speckle_type\":\"Wall\",\"id\":" + id_json + ",\"@displayValue\":[" +
         elements + "]}\n";
}

// A line that cannot be accepted, long enough that the line before it is parsed in
// place rather than copied into the parser's padded buffer.
const std::string kFiller = std::string(100, '#') + "\n";

// ---- JSON acceptance -------------------------------------------------------------

struct Acceptance {
  std::string json;  // JSON part of the line with key "x"
  bool accepted;
};

class JsonAcceptance : public ::testing::TestWithParam<std::tuple<Acceptance, bool>> {};

// A root references "x": an accepted "x" of another type is passed over silently
// (then the root has no faces); an unaccepted one is missing from the map.
TEST_P(JsonAcceptance, LineIsAcceptedExactlyWhenValid) {
  auto [c, in_place] = GetParam();
  std::string text = root("r", ref("x")) + "x\t" + c.json + "\n" + (in_place ? kFiller : "");
  Loaded r = load(text);
  EXPECT_EQ(r.out, c.accepted ? "WARN: object id \"R\" has no faces.\n"
                              : "ERROR: Could not find object x in object_map\n")
      << c.json;
}

std::string nested(int levels) {  // the object itself is the first level
  return R"({"speckle_type":"T","v":)" + std::string(levels - 1, '[') +
         std::string(levels - 1, ']') + "}";
}

const std::string kT = R"({"speckle_type":"T")";

INSTANTIATE_TEST_SUITE_P(
    Table, JsonAcceptance,
    ::testing::Combine(
        ::testing::Values(
            Acceptance{kT + "}", true}, Acceptance{R"({"speckle_type":"","v":null})", true},
            Acceptance{R"({"speckle":1})", false}, Acceptance{"[" + kT + "}]", false},
            Acceptance{R"("speckle_type")", false}, Acceptance{"", false},
            Acceptance{" \t ", false}, Acceptance{" \t\r" + kT + "} \r\t ", true},
            Acceptance{R"({"speckle_type":	"T"	})", true},
            Acceptance{kT + "}" + kT + "}", false}, Acceptance{kT + "} {}", false},
            Acceptance{kT + "}x", false}, Acceptance{kT + "},", false},
            Acceptance{kT + ",}", false}, Acceptance{"\f" + kT + "}", false},
            Acceptance{"\xef\xbb\xbf" + kT + "}", false},
            Acceptance{kT + R"(,"v":NaN})", false}, Acceptance{kT + R"(,"v":Infinity})", false},
            Acceptance{kT + R"(,"v":-Infinity})", false},
            Acceptance{kT + ",\"v\":\"a\x01\"}", false}, Acceptance{kT + ",\"v\":\"a\x1f\"}", false},
            // A raw TAB or CR inside a string is a control character too: TABs after the
            // first one are whitespace between tokens or make the line invalid.
            Acceptance{kT + ",\"v\":\"a\tb\"}", false}, Acceptance{kT + ",\"v\":\"a\rb\"}", false},
            Acceptance{kT + ",\"v\":\"a\x7f\"}", true},
            Acceptance{kT + ",\"v\":\"\xff\"}", false},
            Acceptance{kT + R"(,"v":"\ud800"})", false}, Acceptance{kT + R"(,"v":"\udc00"})", false},
            Acceptance{kT + R"(,"v":"\ud800\u0041"})", false},
            Acceptance{kT + R"(,"v":"\ud83d\ude00"})", true},
            Acceptance{kT + R"(,"v":1e400})", false}, Acceptance{kT + R"(,"v":-1e400})", false},
            Acceptance{kT + R"(,"v":1e-400})", true},
            Acceptance{kT + R"(,"v":1.7976931348623157e308})", true},
            Acceptance{kT + R"(,"v":18446744073709551616})", true},
            Acceptance{kT + R"(,"v":[-9223372036854775809,123456789012345678901234567890]})", true},
            Acceptance{kT + R"(,"v":-0,"w":"18446744073709551616"})", true},
            Acceptance{kT + ",\"v\":" + std::string(400, '9') + "}", false},
            Acceptance{kT + R"(,"v":[18446744073709551616,01]})", false},
            Acceptance{kT + R"(,"v":1.})", false}, Acceptance{kT + R"(,"v":.5})", false},
            Acceptance{nested(127), true}, Acceptance{nested(128), false}),
        ::testing::Bool()));

std::string chunk_line(const std::string& key, const std::string& data) {
  return key + "\t{\"speckle_type\":\"Chunk\",\"data\":[" + data + "]}\n";
}

// ---- numbers ---------------------------------------------------------------------

TEST(LoaderNumbers, ListsKeepNumbersOnlyAndWidenIntegers) {
  Loaded r = load(root("r", inline_mesh(
      "m", R"("faces":[3,0,1,2],"vertices":[1,2,"s",3,null,[4],{"a":5},)"
           R"(18446744073709551615,18446744073709551616,-9223372036854775808,1e-400,-0,-0.0,0.5])")));
  ASSERT_EQ(r.objects.size(), 1u);
  const auto& v = r.objects[0].vertices;
  ASSERT_EQ(v.size(), 10u);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 2.0);
  EXPECT_EQ(v[2], 3.0);
  EXPECT_EQ(v[3], 18446744073709551615.0);
  EXPECT_EQ(v[4], 18446744073709551616.0);
  EXPECT_EQ(v[5], -9223372036854775808.0);
  EXPECT_EQ(v[6], 0.0);
  EXPECT_TRUE(std::signbit(v[7])) << "the integer -0 reads as -0.0";
  EXPECT_TRUE(std::signbit(v[8]));
  EXPECT_EQ(v[9], 0.5);
  EXPECT_FALSE(std::signbit(r.objects[0].faces[1]));
}

TEST(LoaderNumbers, NegativeZeroInStringDoesNotDisturbNumbers) {
  Loaded r = load(root("r", inline_mesh("-0", R"("faces":[3,0,1,2],"vertices":[0,-0.5,-0])")));
  ASSERT_EQ(r.objects.size(), 1u);
  const auto& v = r.objects[0].vertices;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_FALSE(std::signbit(v[0]));
  EXPECT_EQ(v[1], -0.5);
  EXPECT_TRUE(std::signbit(v[2]));
}

TEST(LoaderNumbers, ValuesSurviveTheArenaExactly) {
  // Lists of float-exact numbers are stored narrow; one inexact number keeps a list wide.
  std::string text = "f\t{\"speckle_type\":\"C\",\"data\":[3,0,1,16777217]}\n" +
                     chunk_line("g", "3,0,1,2") + chunk_line("v", "0.1,-2.5,1e300,4,5,6,7,8,9") +
                     "m\t{\"speckle_type\":\"Objects.Geometry.Mesh\",\"faces\":[" +
                     R"({"referencedId":"f"},{"referencedId":"g"}],"vertices":[{"referencedId":"v"}]})" +
                     "\n" + root("r", ref("m"));
  Loaded r = load(text);
  ASSERT_EQ(r.objects.size(), 1u);
  EXPECT_EQ(r.objects[0].faces, (std::vector<double>{3, 0, 1, 16777217, 3, 0, 1, 2}));
  EXPECT_EQ(r.objects[0].vertices, (std::vector<double>{0.1, -2.5, 1e300, 4, 5, 6, 7, 8, 9}));
}

// The -0 check looks at raw text: "-0" inside strings (after escapes of every kind)
// and in exponents is no integer -0. The rewrite finds the same -0 by its own scan,
// so a hit of the check never leaves the rewrite with nothing to change.
TEST(LoaderNumbers, NegativeZeroCheckSkipsStringsAndExponents) {
  const std::pair<std::string, bool> cases[] = {
      {"-0", true}, {"[ -0 ]", true}, {R"({"-0":-0})", true}, {R"(["e",-0])", true},
      {R"(["\\",-0])", true}, {R"(["\\\"",-0])", true}, {R"(["\u0022",-0])", true},
      {R"("-0")", false}, {R"({"-0":0})", false}, {R"(["a-0","-0A","x\"-0","\\-0"])", false},
      {R"(["\"-0\""])", false}, {R"(["\\\"-0"])", false}, {"[\"\xc3\xa9-0\",\"\\u00e9-0\"]", false},
      {"[-0.5,-0e1,-0E1,-0.0,-0e-0]", false}, {"[0,1e-0,1E-0,2.5e-0]", false}, {"[0]", false},
  };
  JsonLineParser parser;
  std::string rewritten;
  for (const auto& [json, holds] : cases) {
    simdjson::dom::element value;
    ASSERT_EQ(parser.parse(json, 0, value), simdjson::SUCCESS) << json;
    EXPECT_EQ(has_negative_zero_integer(json), holds) << json;
    EXPECT_EQ(rewrite_integers_as_doubles(json, rewritten), holds) << json;
  }
}

// ---- compact JSON of a non-string id in the warnings -----------------------------

class IdJson : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(IdJson, WarningShowsCompactJson) {
  auto [written, shown] = GetParam();
  Loaded r = load(root("r", "", written));
  EXPECT_EQ(r.out, "WARN: object id " + shown + " has no faces.\n");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, IdJson,
    ::testing::Values(
        std::pair{"7", "7"}, std::pair{"-7", "-7"}, std::pair{"7.0", "7.0"},
        std::pair{"7e0", "7.0"}, std::pair{"-0", "-0.0"}, std::pair{"-0.0", "-0.0"},
        std::pair{"0.0", "0.0"}, std::pair{"1.5", "1.5"}, std::pair{"0.001", "0.001"},
        std::pair{"1e-5", "0.00001"}, std::pair{"1e-6", "1e-6"}, std::pair{"1e-7", "1e-7"},
        std::pair{"2.5e-9", "2.5e-9"}, std::pair{"1e15", "1000000000000000.0"},
        std::pair{"1e16", "1e16"}, std::pair{"1.5e16", "1.5e16"},
        std::pair{"1234567890123456.7", "1234567890123456.8"}, std::pair{"1e21", "1e21"},
        std::pair{"0.30000000000000004", "0.30000000000000004"},
        std::pair{"123456789012345678901234", "1.2345678901234569e23"},
        std::pair{"-1.5e300", "-1.5e300"}, std::pair{"5e-324", "5e-324"},
        std::pair{"18446744073709551615", "18446744073709551615"},
        std::pair{"18446744073709551616", "1.8446744073709552e19"},
        std::pair{"-9223372036854775808", "-9223372036854775808"},
        std::pair{"-9223372036854775809", "-9.223372036854776e18"},
        std::pair{R"(["99999999999999999999", 99999999999999999999])", R"(["99999999999999999999",1e20])"},
        std::pair{R"(["-0", -0, "\"-0", 0])", R"(["-0",-0.0,"\"-0",0])"},
        std::pair{"true", "true"}, std::pair{"null", "null"}, std::pair{"[]", "[]"},
        std::pair{"{}", "{}"}, std::pair{"[1, [false, {}], -0]", "[1,[false,{}],-0.0]"},
        std::pair{R"({"b":1,"a":[2],"b":3})", R"({"a":[2],"b":3})"},
        std::pair{R"({"\u00e9":1,"z":2,"Z":3,"":4})", R"({"":4,"Z":3,"z":2,"é":1})"},
        std::pair{R"({"k\"":"\"\\\/\b\f\n\r\t\u0001\u001f\u007f\u00e9\ud83d\ude00"})",
                  "{\"k\\\"\":\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80\"}"}));

TEST(IdJson, DeepIdIsWrittenWithoutRecursion) {
  std::string id = std::string(126, '[') + std::string(126, ']');
  EXPECT_EQ(load(root("r", "", id)).out, "WARN: object id " + id + " has no faces.\n");
}

// ---- lines and the object map ----------------------------------------------------

TEST(LoaderLines, EmptyTextAndUnacceptedLinesYieldNothing) {
  for (std::string text : {"", "\n", "\r\n", "no tab here\n", "\t\n", "k\t[1]\nk2\t\"s\""}) {
    Loaded r = load(text);
    EXPECT_TRUE(r.objects.empty());
    EXPECT_EQ(r.out, "");
  }
}

TEST(LoaderLines, LineEndingsDoNotMatter) {
  std::string lf = root("a", inline_mesh("m")) + root("b", ref("c")) +
                   "c\t" + inline_mesh("c") + "\n";
  std::string crlf, no_final_lf = lf.substr(0, lf.size() - 1);
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  for (const std::string& text : {lf, crlf, no_final_lf}) {
    Loaded r = load(text);
    EXPECT_EQ(ids(r), (std::vector<std::string>{"a"}));
    EXPECT_EQ(r.out, "ERROR: Could not extract faces from object: c\nWARN: object id \"R\" has no faces.\n");
  }
}

TEST(LoaderLines, KeyEndsAtFirstTab) {
  // The empty key is an ordinary key; later TABs belong to the JSON part, where
  // they are whitespace between tokens or, inside a token, make the line invalid.
  std::string text = root("", inline_mesh("m")) +
                     "k\t\t{\"speckle_type\":\t\"W\",\"id\":\"K\",\t\"@displayValue\":[" + ref("") + "]}\n" +
                     "a\tb\t{\"speckle_type\":\"W\"}\n" + root("z", ref("a"));
  Loaded r = load(text);
  EXPECT_EQ(ids(r), (std::vector<std::string>{""}));
  EXPECT_EQ(r.out, "WARN: object id \"K\" has no faces.\nERROR: Could not find object a in object_map\n");
}

TEST(LoaderLines, LastAcceptedLineOfAKeyWins) {
  std::string text = root("a", inline_mesh("first")) + root("b", inline_mesh("m")) +
                     root("a", "{\"speckle_type\":\"Bad\"}") + "a\tnot json\n" +
                     "a\t{\"no_type\":1}\n";
  Loaded r = load(text);
  // "a" walks at the position of its last accepted line, after "b".
  EXPECT_EQ(ids(r), (std::vector<std::string>{"b"}));
  EXPECT_EQ(r.out, "ERROR: Display value type not supported: Bad\nWARN: object id \"R\" has no faces.\n");
}

TEST(LoaderLines, RootsWalkInTextOrder) {
  Loaded r = load(root("z", inline_mesh("m")) + root("a", "1") + root("m", inline_mesh("m")) +
                  root("b", "{\"speckle_type\":\"S\"}"));
  EXPECT_EQ(ids(r), (std::vector<std::string>{"z", "m"}));
  EXPECT_EQ(r.out, "ERROR: Display value type not supported: S\nWARN: object id \"R\" has no faces.\n");
}

TEST(LoaderLines, InPlaceParsingIgnoresWhatFollows) {
  // Each line is parsed inside the whole text; the next line's bytes must not leak in.
  std::string text = "c\t{\"speckle_type\":1,\"data\":[1,2]}\n99999\"\\" + std::string(80, '9') +
                     "\n" + root("r", inline_mesh("m", R"("faces":[3,0,1,2],"vertices":[7])")) +
                     "9999999999999999999999999999999" + std::string(80, '"') + "\n";
  Loaded r = load(text);
  ASSERT_EQ(r.objects.size(), 1u);
  EXPECT_EQ(r.objects[0].vertices, (std::vector<double>{7}));
}

// ---- the walk ----------------------------------------------------------------------

std::string chunk_ref(const std::string& key) { return R"({"referencedId":")" + key + R"("})"; }

std::string mesh_line(const std::string& key, const std::string& faces,
                      const std::string& vertices) {
  return key + "\t{\"speckle_type\":\"Objects.Geometry.Mesh\",\"faces\":" + faces +
         ",\"vertices\":" + vertices + "}\n";
}

struct WalkCase {
  const char* name;
  std::string text;
  std::vector<std::string> ids;
  std::string out;
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, RecordsAndMessages) {
  const WalkCase& c = GetParam();
  Loaded r = load(c.text);
  EXPECT_EQ(ids(r), c.ids);
  EXPECT_EQ(r.out, c.out);
}

const std::string kChunks = chunk_line("f", "3,0,1,2") + chunk_line("v", "0,0,0,1,0,0,0,1,0");
const std::string kMesh = mesh_line("m", "[" + chunk_ref("f") + "]", "[" + chunk_ref("v") + "]");

INSTANTIATE_TEST_SUITE_P(
    Cases, Walk,
    ::testing::Values(
        WalkCase{"Referenced", kChunks + kMesh + root("r", ref("m")), {"r"}, ""},
        WalkCase{"DisplayValueWithoutAt",
                 "r\t{\"speckle_type\":\"W\",\"id\":1,\"displayValue\":[" + inline_mesh("m") + "]}\n",
                 {"r"}, ""},
        WalkCase{"AtDisplayValueNotArrayHidesDisplayValue",
                 "r\t{\"speckle_type\":\"W\",\"id\":1,\"@displayValue\":null,\"displayValue\":[" +
                     inline_mesh("m") + "]}\n",
                 {}, ""},
        WalkCase{"RootNeedsStringTypeAndId",
                 "r\t{\"speckle_type\":1,\"id\":\"R\",\"displayValue\":[]}\n"
                 "s\t{\"speckle_type\":\"W\",\"displayValue\":[]}\n",
                 {}, ""},
        WalkCase{"UnsupportedTypesAreReportedAndSkipped",
                 root("r", R"({"speckle_type":"Objects.Geometry.mesh"},{"speckle_type":""},)" +
                               inline_mesh("m")),
                 {"r"},
                 "ERROR: Display value type not supported: Objects.Geometry.mesh\n"
                 "ERROR: Display value type not supported: \n"},
        WalkCase{"MissingReferenceAbandonsWithoutWarning",
                 root("r", inline_mesh("m") + "," + ref("nowhere") + "," + R"({"speckle_type":"S"})"),
                 {}, "ERROR: Could not find object nowhere in object_map\n"},
        WalkCase{"ReferenceToNonMeshIsSkippedSilently",
                 kChunks + "n\t" + ref("m") + "\n" + kMesh + root("r", ref("n") + "," + ref("f")),
                 {}, "WARN: object id \"R\" has no faces.\n"},
        WalkCase{"ReferencedValueWithoutStringTypeAbandons",
                 "n\t{\"speckle_type\":null}\n" + root("r", ref("n") + "," + R"({"speckle_type":"S"})"),
                 {}, ""},
        WalkCase{"ElementWithoutStringTypeAbandonsAfterEarlierMessages",
                 root("r", R"({"speckle_type":"S"},)" + inline_mesh("m") + R"(,{"speckle_type":5},{"speckle_type":"T"})"),
                 {}, "ERROR: Display value type not supported: S\n"},
        WalkCase{"NonObjectElementAbandons", root("r", inline_mesh("m") + ",3"), {}, ""},
        WalkCase{"InlineMeshWithoutStringIdAbandons",
                 root("r", R"({"speckle_type":"Objects.Geometry.Mesh","id":1,"faces":[3,0,1,2],"vertices":[0,0,0]})"),
                 {}, ""},
        WalkCase{"ReferenceWithoutStringIdAbandons",
                 kChunks + kMesh + root("r", R"({"speckle_type":"reference","referencedId":["m"]})"),
                 {}, ""},
        WalkCase{"InlineFacesOfChunkReferencesGiveNoFaces",
                 kChunks + root("r", inline_mesh("m", "\"faces\":[" + chunk_ref("f") +
                                                          "],\"vertices\":[0,0,0]")),
                 {}, "WARN: object id \"R\" has no faces.\n"},
        WalkCase{"InlineMembersMustBeArrays",
                 root("r", inline_mesh("a", R"("faces":{},"vertices":[0])") + "," +
                               inline_mesh("b", R"("faces":[3,0,1,2])")),
                 {},
                 "ERROR: Could not extract faces from object: a\n"
                 "ERROR: Could not extract vertices from object: b\n"
                 "WARN: object id \"R\" has no vertices.\n"},
        WalkCase{"ReferencedFacesOfNumbers", mesh_line("m", "[3,0,1,2]", "[]") + root("r", ref("m")),
                 {}, "ERROR: Could not extract faces from object: m\nWARN: object id \"R\" has no faces.\n"},
        WalkCase{"MissingChunkGivesTwoLines",
                 kChunks + mesh_line("m", "[" + chunk_ref("f") + "]", "[" + chunk_ref("v") + "," + chunk_ref("gone") + "]") +
                     root("r", ref("m")),
                 {},
                 "ERROR: Unable to find reference vertices with id gone in object map.\n"
                 "ERROR: Could not extract vertices from object: m\n"
                 "WARN: object id \"R\" has no vertices.\n"},
        WalkCase{"ChunkWithoutDataArray",
                 "f\t{\"speckle_type\":\"C\",\"data\":7}\n" + kMesh.substr(0, 0) +
                     mesh_line("m", "[" + chunk_ref("f") + "," + chunk_ref("gone") + "]", "[]") + root("r", ref("m")),
                 {}, "ERROR: Could not extract faces from object: m\nWARN: object id \"R\" has no faces.\n"},
        WalkCase{"ChunkLineWithoutTypeIsNotInMap",
                 "f\t{\"data\":[3,0,1,2]}\n" + chunk_line("v", "0") + kMesh + root("r", ref("m")),
                 {},
                 "ERROR: Unable to find reference faces with id f in object map.\n"
                 "ERROR: Could not extract faces from object: m\n"
                 "WARN: object id \"R\" has no faces.\n"},
        WalkCase{"EntryWithoutReferencedIdFailsSilentlyAfterEarlierLookups",
                 kChunks + mesh_line("m", "[" + chunk_ref("f") + ",{\"referencedId\":1}," + chunk_ref("gone") + "]", "[]") +
                     mesh_line("n", "[" + chunk_ref("gone") + ",4]", "[]") + root("r", ref("m") + "," + ref("n")),
                 {},
                 "ERROR: Could not extract faces from object: m\n"
                 "ERROR: Unable to find reference faces with id gone in object map.\n"
                 "ERROR: Could not extract faces from object: n\n"
                 "WARN: object id \"R\" has no faces.\n"},
        WalkCase{"RepeatedMembersTakeTheLast",
                 kChunks +
                     "m\t{\"speckle_type\":\"X\",\"speckle_type\":\"Objects.Geometry.Mesh\",\"faces\":7,"
                     "\"faces\":[{\"referencedId\":\"v\",\"referencedId\":\"f\"}],\"vertices\":[" + chunk_ref("v") + "]}\n" +
                     "r\t{\"speckle_type\":\"W\",\"id\":1,\"id\":\"R\",\"@displayValue\":7,\"@displayValue\":[" +
                     ref("m") + "]}\n",
                 {"r"}, ""},
        WalkCase{"EmptyChunkListIsNoError",
                 kChunks + mesh_line("m", "[]", "[" + chunk_ref("v") + "]") + root("r", ref("m")),
                 {}, "WARN: object id \"R\" has no faces.\n"},
        WalkCase{"EmptyDisplayList", root("r", "") + root("s", "", "7"), {},
                 "WARN: object id \"R\" has no faces.\nWARN: object id 7 has no faces.\n"},
        WalkCase{"NonStringIdIsNoFault", root("r", inline_mesh("m"), "7"), {"r"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoaderMeshes, EachReadMeshGetsItsRange) {
  // Mesh b's vertices fail: its faces stay in the flat list but it gets no range.
  std::string text = kChunks + kMesh +
                     root("r", inline_mesh("a", R"("faces":[3,0,1,2],"vertices":[0,0,0,1,0,0,0,1,0,5,5,5])") + "," +
                                   inline_mesh("b", R"("faces":[4,0,1,2,3])") + ",{\"speckle_type\":\"S\"}," + ref("m"));
  Loaded r = load(text);
  ASSERT_EQ(r.objects.size(), 1u);
  const LoadedObject& o = r.objects[0];
  EXPECT_EQ(o.faces, (std::vector<double>{3, 0, 1, 2, 4, 0, 1, 2, 3, 3, 0, 1, 2}));
  EXPECT_EQ(o.vertices.size(), 21u);
  ASSERT_EQ(o.meshes.size(), 2u);
  EXPECT_EQ(std::tie(o.meshes[0].face_begin, o.meshes[0].face_end, o.meshes[0].vertex_begin,
                     o.meshes[0].vertex_end),
            std::make_tuple(size_t{0}, size_t{4}, size_t{0}, size_t{12}));
  EXPECT_EQ(std::tie(o.meshes[1].face_begin, o.meshes[1].face_end, o.meshes[1].vertex_begin,
                     o.meshes[1].vertex_end),
            std::make_tuple(size_t{9}, size_t{13}, size_t{12}, size_t{21}));
  EXPECT_EQ(r.out,
            "ERROR: Could not extract vertices from object: b\n"
            "ERROR: Display value type not supported: S\n");
}

TEST(LoaderMeshes, SharedMeshIsReadByEveryRoot) {
  std::string text = kChunks + kMesh + root("r1", ref("m")) + root("r2", ref("m") + "," + ref("m"));
  Loaded r = load(text);
  ASSERT_EQ(ids(r), (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(r.objects[1].vertices.size(), 18u);
  EXPECT_EQ(r.objects[1].meshes.size(), 2u);
}

}  // namespace
}  // namespace orvex
