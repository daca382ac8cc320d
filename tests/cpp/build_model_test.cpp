// build_model on any number of threads gives the model, the object information, the
// diagnostics and the fault of one thread, bit for bit and in order.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline.h"

namespace orvex {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string numbers(const std::vector<double>& xs, size_t begin, size_t end) {
  std::string out = "[";
  for (size_t i = begin; i < end; ++i) {
    std::ostringstream x;
    x.precision(17);
    x << xs[i];
    if (i > begin) out += ',';
    out += x.str();
  }
  return out + "]";
}

// Texts of every kind of line the loader meets, in random order and at random places
// (so across the ranges that threads read): objects inline and by reference, with chunk
// lines before and after their meshes; lines that are not accepted; repeated keys (the
// last accepted line wins, wherever it stands); missing meshes and chunks; unsupported
// elements; non-string ids; partial points; indices out of range; and, when `fault`, a
// face of two corners halfway, which ends the build.
class HostileText {
 public:
  HostileText(uint32_t seed, bool fault) : rng_(seed) {
    const int objects = 400;
    for (int i = 0; i < objects; ++i) {
      if (fault && i == objects / 2) add_inline("two corners", {0, 0, 0, 1, 0, 0, 0, 1, 0}, {3, 0, 1, 2, 2, 0, 1});
      switch (pick(12)) {
        case 0: case 1: case 2: case 3: add_referenced(); break;
        case 4: add_inline(key(), box(), quads()); break;
        case 5: text_ += junk(); break;
        case 6: add_root(key(), "{\"speckle_type\":\"reference\",\"referencedId\":\"nowhere" + std::to_string(i) + "\"}"); break;
        case 7: add_referenced(/*lose_a_chunk=*/true); break;
        case 8: add_inline(key(), box(), quads(), "{\"speckle_type\":\"Objects.Other\"},"); break;
        case 9: add_root(key(), "", pick(2) ? "[-0,\"x\",18446744073709551616]" : "-0"); break;
        case 10: add_inline(key(), {0, 0, 0, 1, 0, 0, 0, 1, 0, 5}, {3, 0, 1, pick(2) ? 2.0 : 7.0}); break;
        default:
          // A chunk line that replaces an earlier one of the same key: vertices moved,
          // faces as they were.
          if (!chunks_.empty()) {
            auto [chunk, values, vertices] = chunks_[pick(chunks_.size())];
            if (vertices) {
              for (double& x : values) x += 0.25;
            }
            line(chunk, "{\"speckle_type\":\"C\",\"data\":" + numbers(values, 0, values.size()) + "}");
          }
      }
    }
  }
  const std::string& text() const { return text_; }

 private:
  uint32_t pick(uint32_t n) { return rng_() % n; }
  // Keys repeat: a later root replaces an earlier one.
  std::string key() { return "o" + std::to_string(pick(300)); }

  void line(const std::string& key, const std::string& json) {
    text_ += key + "\t" + json + (pick(4) == 0 ? "\r\n" : "\n");
  }

  std::vector<double> box() {
    const double x = pick(40) * 0.5, y = pick(40) * 0.5, z = pick(8) * 0.5, s = 0.25 + pick(8) * 0.25;
    std::vector<double> v;
    for (int c = 0; c < 8; ++c) v.insert(v.end(), {c & 1 ? x + s : x, c & 2 ? y + s : y, c & 4 ? z + s : z});
    return v;
  }
  static std::vector<double> quads() {
    return {4, 0, 2, 3, 1, 4, 4, 5, 7, 6, 4, 0, 1, 5, 4, 4, 2, 6, 7, 3, 4, 0, 4, 6, 2, 4, 1, 3, 7, 5};
  }

  void add_root(const std::string& key, const std::string& elements, const std::string& id = "") {
    line(key, "{\"speckle_type\":\"Objects.BuiltElements.Wall\",\"id\":" + (id.empty() ? "\"" + key + "\"" : id) +
                  ",\"name\":\"n-0 " + key + "\",\"@displayValue\":[" + elements + "]}");
  }

  void add_inline(const std::string& key, const std::vector<double>& v, const std::vector<double>& f,
                  const std::string& before = "") {
    add_root(key, before + "{\"speckle_type\":\"Objects.Geometry.Mesh\",\"id\":\"m\",\"vertices\":" +
                      numbers(v, 0, v.size()) + ",\"faces\":" + numbers(f, 0, f.size()) + "}");
  }

  // Chunk lines of random size before or after the mesh line, and the root last.
  void add_referenced(bool lose_a_chunk = false) {
    const std::string mesh = "m" + std::to_string(meshes_++);
    std::string members, chunk_lines;
    const size_t size = 1 + pick(9);
    for (auto [name, values] : {std::pair{"vertices", box()}, std::pair{"faces", quads()}}) {
      std::string refs;
      for (size_t at = 0; at < values.size(); at += size) {
        const std::string chunk = "c" + std::to_string(chunks_.size());
        const std::vector<double> data(values.begin() + at, values.begin() + std::min(values.size(), at + size));
        chunks_.push_back({chunk, data, name == std::string("vertices")});
        if (!(lose_a_chunk && at == 0)) {
          chunk_lines += chunk + "\t{\"speckle_type\":\"C\",\"data\":" + numbers(data, 0, data.size()) + "}\n";
        }
        refs += std::string(refs.empty() ? "" : ",") + "{\"referencedId\":\"" + chunk + "\"}";
      }
      members += std::string(",\"") + name + "\":[" + refs + "]";
    }
    const bool chunks_first = pick(2);
    if (chunks_first) text_ += chunk_lines;
    line(mesh, "{\"speckle_type\":\"Objects.Geometry.Mesh\"" + members + "}");
    if (!chunks_first) text_ += chunk_lines;
    add_root(key(), "{\"speckle_type\":\"reference\",\"referencedId\":\"" + mesh + "\"}");
  }

  std::string junk() {
    const char* lines[] = {"no tab\n", "\n", "\r\n", "k\t{\"speckle_type\":\n", "k\t[1,2]\n",
                           "k\t{\"id\":\"x\",\"displayValue\":[]}\n", "c0\t{\"speckle_type\":\"C\",\"data\":[1,}\n",
                           "k\t{\"speckle_type\":\"W\",\"v\":18446744073709551616}\n"};
    return lines[pick(std::size(lines))];
  }

  std::mt19937 rng_;
  std::string text_;
  uint32_t meshes_ = 0;
  struct Chunk {
    std::string key;
    std::vector<double> values;
    bool vertices;
  };
  std::vector<Chunk> chunks_;
};

struct Built {
  std::optional<Model> model;
  std::string fault;
  std::vector<Diagnostic> diagnostics;
};

Built build(const std::string& text, unsigned threads) {
  Built out;
  CollectingSink sink;
  ClashRequest request;
  request.threads = threads;
  request.keep_info = true;
  try {
    out.model.emplace(build_model(text, request, sink));
  } catch (const Fault& f) {
    out.fault = f.what();
  }
  out.diagnostics = std::move(sink.items);
  return out;
}

template <class T>
bool same_bytes(std::span<const T> x, std::span<const T> y) {
  return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size_bytes()) == 0);
}

void expect_same(const Built& got, const Built& want) {
  EXPECT_EQ(got.fault, want.fault);
  ASSERT_EQ(got.diagnostics.size(), want.diagnostics.size());
  for (size_t i = 0; i < want.diagnostics.size(); ++i) {
    EXPECT_EQ(got.diagnostics[i].code, want.diagnostics[i].code) << i;
    EXPECT_EQ(got.diagnostics[i].object, want.diagnostics[i].object) << i;
    EXPECT_EQ(got.diagnostics[i].text, want.diagnostics[i].text) << i;
  }
  ASSERT_EQ(got.model.has_value(), want.model.has_value());
  if (!want.model) return;
  const Model& g = *got.model;
  const Model& w = *want.model;
  ASSERT_EQ(g.size(), w.size());
  ASSERT_EQ(g.info().size(), w.info().size());
  for (size_t i = 0; i < w.size(); ++i) {
    EXPECT_EQ(g.objects()[i].id, w.objects()[i].id);
    EXPECT_EQ(g.objects()[i].source_index, w.objects()[i].source_index);
    EXPECT_TRUE(same_bytes(g.objects()[i].mesh.points(), w.objects()[i].mesh.points())) << i;
    EXPECT_TRUE(same_bytes(g.objects()[i].mesh.triangles(), w.objects()[i].mesh.triangles())) << i;
    EXPECT_EQ(g.info()[i].type, w.info()[i].type);
    EXPECT_EQ(g.info()[i].meta, w.info()[i].meta);
  }
  EXPECT_EQ(g.bounds(), w.bounds());
}

TEST(BuildModelThreads, SameModelDiagnosticsAndFaultOnEveryThreadCount) {
  std::vector<std::string> texts = {read_file(ORVEX_SOURCE_DIR "/examples/data/structure.txt"),
                                    read_file(ORVEX_SOURCE_DIR "/examples/data/services.txt")};
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    texts.push_back(HostileText(seed, false).text());
    texts.push_back(HostileText(seed, true).text());
  }
  for (size_t t = 0; t < texts.size(); ++t) {
    SCOPED_TRACE("text " + std::to_string(t));
    const Built one = build(texts[t], 1);
    // The texts hold what they are meant to: objects, messages and, in every other
    // hostile text, the fault halfway.
    EXPECT_EQ(one.fault.empty(), t < 2 || t % 2 == 0);
    if (one.model) {
      EXPECT_GT(one.model->size(), 20u);
    }
    if (t >= 2) {
      EXPECT_GT(one.diagnostics.size(), 20u);
    }
    for (unsigned threads : {2u, 3u, 8u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      expect_same(build(texts[t], threads), one);
    }
  }
}

// A file is read part by part, its pages given back as it goes: the model is the text's,
// and bytes that are not UTF-8 anywhere refuse the file as the whole-text check does,
// before a fault of the model itself.
TEST(BuildModelFile, SameModelAsTheTextAndTheUtf8CheckFirst) {
  const std::string path = ::testing::TempDir() + "orvex_build_model_file.txt";
  auto write = [&](const std::string& content) { std::ofstream(path, std::ios::binary) << content; };
  const std::string text = HostileText(7, false).text();
  write(text);
  for (unsigned threads : {1u, 3u}) {
    const Built want = build(text, threads);
    CollectingSink sink;
    ClashRequest request;
    request.threads = threads;
    request.keep_info = true;
    Built got;
    got.model.emplace(build_model(MappedText(path), path, request, sink));
    got.diagnostics = std::move(sink.items);
    expect_same(got, want);
  }

  const std::string faulty = HostileText(7, true).text();
  std::string bad = faulty;
  bad.insert(bad.size() * 3 / 4, "\xc3(");
  write(bad);
  std::string expected;
  try {
    require_utf8(bad, path);
  } catch (const Fault& f) {
    expected = f.what();
  }
  ASSERT_NE(expected.find("offset"), std::string::npos);
  for (unsigned threads : {1u, 3u}) {
    CollectingSink sink;
    ClashRequest request;
    request.threads = threads;
    try {
      build_model(MappedText(path), path, request, sink);
      ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(f.kind(), FaultKind::Input);
      EXPECT_EQ(std::string(f.what()), expected);
    }
    EXPECT_TRUE(sink.items.empty());
  }
  std::remove(path.c_str());
}

TEST(BuildModelInfo, TypeAndMembersOfTheRootLine) {
  // Members in text order, each where it first stands with its last value, minified;
  // the display lists left out; a -0 beside a 0 in a number list read as -0.0.
  const std::string mesh = R"({"speckle_type":"Objects.Geometry.Mesh","id":"m","vertices":[0,0,0,1,0,0,0,1,0],"faces":[3,0,1,2]})";
  const std::string text =
      "a\t{\"speckle_type\":\"Odd\",\"id\":\"a\",\"name\":\"B\\u00e4r \\\"1\\\"\",\"n\":-0,\"units\":\"mm\",\"n\":[1.5e300, "
      "{\"z\":null}],\"@displayValue\":[" + mesh + "],\"displayValue\":7}\n"
      "b\t{\"displayValue\":[" + mesh + "],\"k\":-0,\"id\":1,\"speckle_type\":\"W\"}\n";
  // Many members: repeats found past the first few too.
  std::string many = "c\t{\"speckle_type\":\"W\",\"id\":\"c\"", many_meta = "{\"speckle_type\":\"W\",\"id\":\"c\"";
  for (int k = 0; k < 30; ++k) {
    many += ",\"k" + std::to_string(k) + "\":" + std::to_string(k);
    many_meta += ",\"k" + std::to_string(k) + "\":" + std::to_string(k == 3 ? 33 : k == 25 ? 55 : k);
  }
  many += ",\"k25\":55,\"k3\":33,\"displayValue\":[" + mesh + "]}\n";
  many_meta += "}";
  CollectingSink sink;
  ClashRequest request;
  const Model plain = build_model(text, request, sink);
  EXPECT_TRUE(plain.info().empty());
  request.keep_info = true;
  const Model model = build_model(text + many, request, sink);
  ASSERT_EQ(model.info().size(), 3u);
  EXPECT_EQ(model.info()[0].type, "Odd");
  EXPECT_EQ(model.info()[0].meta, "{\"speckle_type\":\"Odd\",\"id\":\"a\",\"name\":\"B\xc3\xa4r \\\"1\\\"\",\"n\":[1.5e+300,{\"z\":null}],\"units\":\"mm\"}");
  EXPECT_EQ(model.info()[1].type, "W");
  EXPECT_EQ(model.info()[1].meta, "{\"k\":-0.0,\"id\":1,\"speckle_type\":\"W\"}");
  EXPECT_EQ(model.info()[2].meta, many_meta);
  EXPECT_TRUE(sink.items.empty());
}

}  // namespace
}  // namespace orvex
