// Valid random models from the fuzz bytes, checked against slower truths: the pass
// against the plain N x M pass over the same contact query, and the contact query
// against the brute force over all triangle pairs. Coordinates lie on a grid of
// sixteenths so that touching, coplanar and shared-edge cases come up often.
// Every key, id, type name and extra member is a name of number-like text ("-0",
// "1e5", digits), quotes, backslashes and non-ASCII text, spelt in JSON with or without
// escapes, and numbers take many spellings of their value ("-0", "1e-0", "2.0E+0"). The
// same model with plain names of letters must give the same meshes, pairs and messages.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics.h"
#include "fuzz_checks.h"
#include "pipeline.h"

namespace {

struct Mesh {
  std::vector<double> vertices;
  std::vector<double> faces;
};

// Model texts are written once with placeholders for the names, then rendered with
// either spelling: kKey + index + kEnd stands for a name as a line key, kString + index
// + kEnd for its JSON spelling inside a string's quotes.
constexpr char kKey = '\x01', kString = '\x02', kEnd = '\x03';

// Pieces of names: number-like text, JSON's structural and escaped characters, and
// UTF-8 of two, three and four bytes. No TAB or LF: those end a line's key.
constexpr const char* kPieces[] = {
    "-0", "-", "0", "7", "1e5", "1E-0", "-0.0", "+", ".", "e", "18446744073709551616",
    "-9223372036854775809", "A", "z", "/", " ", "\"", "\\", ":", ",", "{", "]",
    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};

class Names {
 public:
  /// A new name, distinct from every other, with its JSON spelling chosen by the bytes:
  /// ASCII as itself or as \u00XX, "/" as "\/", non-ASCII raw or as \u escapes.
  size_t make(FuzzedDataProvider& in) {
    std::string raw;
    for (int n = in.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) raw += in.PickValueInArray(kPieces);
    // '~' is in no piece, so the serial makes the name distinct.
    if (!used_.insert(raw).second) {
      raw += "~" + std::to_string(raw_.size());
      used_.insert(raw);
    }
    uint8_t style = in.ConsumeIntegral<uint8_t>();
    raw_.push_back(raw);
    json_.push_back(spell(raw, style));
    return raw_.size() - 1;
  }

  static std::string key(size_t i) { return kKey + std::to_string(i) + kEnd; }
  static std::string str(size_t i) { return kString + std::to_string(i) + kEnd; }

  /// `text` with its placeholders replaced by the names, or by plain names of letters.
  std::string render(const std::string& text, bool plain) const {
    std::string out;
    for (size_t at = 0; at < text.size();) {
      char c = text[at];
      if (c != kKey && c != kString) {
        out += text[at++];
        continue;
      }
      size_t end = text.find(kEnd, at);
      size_t i = std::stoul(text.substr(at + 1, end - at - 1));
      out += plain ? plain_name(i) : c == kKey ? raw_[i] : json_[i];
      at = end + 1;
    }
    return out;
  }

  /// `text` of the plain rendering with each plain name replaced by its name, as the
  /// loader's messages show it: raw, or with '"' and '\\' escaped in a warning's JSON.
  std::string name_back(std::string_view text, bool in_json) const {
    std::string out;
    for (size_t at = 0; at < text.size();) {
      size_t end = text[at] == 'Q' ? text.find('Q', at + 1) : std::string_view::npos;
      if (end == std::string_view::npos) {
        out += text[at++];
        continue;
      }
      size_t i = 0;
      for (char d : text.substr(at + 1, end - at - 1)) i = i * 26 + static_cast<size_t>(d - 'a');
      const std::string& raw = raw_.at(i);
      for (char r : raw) {
        if (in_json && (r == '"' || r == '\\')) out += '\\';
        out += r;
      }
      at = end + 1;
    }
    return out;
  }

 private:
  // "Q", the index in base 26 with the letters a-z as digits, "Q".
  static std::string plain_name(size_t i) {
    std::string digits;
    do {
      digits.insert(digits.begin(), static_cast<char>('a' + i % 26));
      i /= 26;
    } while (i > 0);
    return "Q" + digits + "Q";
  }

  static std::string spell(const std::string& raw, uint8_t style) {
    auto u = [](uint32_t unit) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unit);
      return std::string(buf);
    };
    std::string out;
    for (size_t at = 0; at < raw.size();) {
      unsigned char c = static_cast<unsigned char>(raw[at]);
      if (c < 0x80) {
        ++at;
        if (style & 1) out += u(c);
        else if (c == '"' || c == '\\') out += {'\\', static_cast<char>(c)};
        else if (c == '/' && (style & 2)) out += "\\/";
        else out += static_cast<char>(c);
        continue;
      }
      size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (!(style & 4)) {
        out += raw.substr(at, len);
        at += len;
        continue;
      }
      uint32_t cp = c & (0x7f >> len);
      for (size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(raw[at + k]) & 0x3f);
      at += len;
      if (cp < 0x10000) {
        out += u(cp);
      } else {
        cp -= 0x10000;
        out += u(0xd800 + (cp >> 10)) + u(0xdc00 + (cp & 0x3ff));
      }
    }
    return out;
  }

  std::vector<std::string> raw_, json_;
  std::set<std::string> used_;
};

// One spelling of a grid value, chosen by `pick`: integers with fractions and
// exponents ("2.0", "2e0", "2E-0"), zero also as "-0", non-integers in both exponent cases.
std::string number(double x, unsigned pick) {
  char buf[40];
  if (x == 0) {
    const char* zeros[] = {"0", "-0", "0.0", "-0.0", "-0e-0", "0E+5"};
    return zeros[pick % std::size(zeros)];
  }
  if (x == std::floor(x)) {
    const char* forms[] = {"%.0f", "%.0f.0", "%.0fe0", "%.0fE-0", "%.0f.00e+0"};
    std::snprintf(buf, sizeof buf, forms[pick % std::size(forms)], x);
    return buf;
  }
  const char* forms[] = {"%.17g", "%.17e", "%.17E"};
  std::snprintf(buf, sizeof buf, forms[pick % std::size(forms)], x);
  return buf;
}

std::string numbers(FuzzedDataProvider& in, const std::vector<double>& xs, size_t begin, size_t end) {
  unsigned pick = in.ConsumeIntegral<uint8_t>();
  std::string out = "[";
  for (size_t i = begin; i < end; ++i) {
    out += (i > begin ? "," : "") + number(xs[i], pick);
    pick = pick * 5 + 1;
  }
  return out + "]";
}

double coordinate(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<int>(0, 64) / 16.0; }

void add_triangle(Mesh& m, uint32_t i, uint32_t j, uint32_t k) { m.faces.insert(m.faces.end(), {3.0, double(i), double(j), double(k)}); }

Mesh random_mesh(FuzzedDataProvider& in) {
  Mesh m;
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {  // closed box, faces as quads
      double lo[3], hi[3];
      for (int k = 0; k < 3; ++k) {
        lo[k] = coordinate(in);
        hi[k] = lo[k] + in.ConsumeIntegralInRange<int>(1, 32) / 16.0;
      }
      for (int c = 0; c < 8; ++c)
        for (int k = 0; k < 3; ++k) m.vertices.push_back(c >> k & 1 ? hi[k] : lo[k]);
      const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
      for (const auto& q : quads) m.faces.insert(m.faces.end(), {4.0, double(q[0]), double(q[1]), double(q[2]), double(q[3])});
      break;
    }
    case 1: {  // triangle soup over shared points, degenerate triangles included
      int points = in.ConsumeIntegralInRange<int>(3, 10);
      for (int i = 0; i < 3 * points; ++i) m.vertices.push_back(coordinate(in));
      int triangles = in.ConsumeIntegralInRange<int>(1, 10);
      for (int t = 0; t < triangles; ++t) {
        add_triangle(m, in.ConsumeIntegralInRange<uint32_t>(0, points - 1), in.ConsumeIntegralInRange<uint32_t>(0, points - 1),
                     in.ConsumeIntegralInRange<uint32_t>(0, points - 1));
      }
      break;
    }
    default: {  // flat grid at one height
      int nx = in.ConsumeIntegralInRange<int>(1, 3), ny = in.ConsumeIntegralInRange<int>(1, 3);
      double x0 = coordinate(in), y0 = coordinate(in), z = coordinate(in);
      double step = in.ConsumeIntegralInRange<int>(1, 8) / 16.0;
      for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i) m.vertices.insert(m.vertices.end(), {x0 + i * step, y0 + j * step, z});
      for (int j = 0; j < ny; ++j) {
        for (int i = 0; i < nx; ++i) {
          uint32_t v = j * (nx + 1) + i, w = v + nx + 1;
          add_triangle(m, v, v + 1, w + 1);
          add_triangle(m, v, w + 1, w);
        }
      }
    }
  }
  return m;
}

// A root's "id": its key's name, another name, or a non-string value holding a name
// beside a -0 and an integer beyond 64 bits.
std::string random_id(FuzzedDataProvider& in, Names& names, size_t key) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return "\"" + Names::str(key) + "\"";
    case 1: return "\"" + Names::str(names.make(in)) + "\"";
    default: return "[-0,\"" + Names::str(names.make(in)) + "\",18446744073709551616,0]";
  }
}

// Members that the loader does not read, with names as keys and values.
std::string extra_members(FuzzedDataProvider& in, Names& names) {
  std::string out;
  for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n) {
    out += ",\"" + Names::str(names.make(in)) + "\":\"" + Names::str(names.make(in)) + "\"";
  }
  return out;
}

/// One displayed object of `meshes` meshes, written inline or as references to mesh
/// lines whose number lists are split into chunk lines, maybe with an element of an
/// unsupported type, which is reported; `messages` counts the lines reported.
std::string random_object(FuzzedDataProvider& in, Names& names, size_t key, size_t& messages) {
  std::string lines, elements;
  int meshes = in.ConsumeIntegralInRange<int>(1, 2);
  bool referenced = in.ConsumeBool();
  size_t chunk = in.ConsumeIntegralInRange<size_t>(1, 9);
  for (int n = 0; n < meshes; ++n) {
    Mesh m = random_mesh(in);
    size_t mesh_name = names.make(in);
    std::string mesh_id = "\"" + Names::str(mesh_name) + "\"";
    if (!elements.empty()) elements += ",";
    if (!referenced) {
      elements += "{\"speckle_type\":\"Objects.Geometry.Mesh\",\"id\":" + mesh_id + ",\"vertices\":" +
                  numbers(in, m.vertices, 0, m.vertices.size()) + ",\"faces\":" +
                  numbers(in, m.faces, 0, m.faces.size()) + extra_members(in, names) + "}";
      continue;
    }
    std::string members;
    for (auto [name, list] : {std::pair{"vertices", &m.vertices}, std::pair{"faces", &m.faces}}) {
      std::string refs;
      for (size_t start = 0; start < list->size(); start += chunk) {
        size_t chunk_name = names.make(in);
        lines += Names::key(chunk_name) + "\t{\"speckle_type\":\"Speckle.Core.Models.DataChunk\",\"id\":\"" +
                 Names::str(chunk_name) + "\",\"data\":" + numbers(in, *list, start, std::min(start + chunk, list->size())) +
                 extra_members(in, names) + "}\n";
        refs += std::string(refs.empty() ? "" : ",") + "{\"speckle_type\":\"reference\",\"referencedId\":\"" +
                Names::str(chunk_name) + "\"}";
      }
      members += std::string(",\"") + name + "\":[" + refs + "]";
    }
    lines += Names::key(mesh_name) + "\t{\"speckle_type\":\"Objects.Geometry.Mesh\",\"id\":" + mesh_id + members + "}\n";
    elements += "{\"speckle_type\":\"reference\",\"referencedId\":" + mesh_id + "}";
  }
  if (in.ConsumeBool()) {
    std::string unsupported = "{\"speckle_type\":\"" + Names::str(names.make(in)) + "\"}";
    elements = in.ConsumeBool() ? unsupported + "," + elements : elements + "," + unsupported;
    ++messages;
  }
  lines += Names::key(key) + "\t{\"speckle_type\":\"Objects.BuiltElements.Wall\",\"id\":" + random_id(in, names, key) +
           extra_members(in, names) + ",\"displayValue\":[" + elements + "]}\r\n";
  return lines;
}

/// A model of distinct keys drawn from a pool shared by both models, so that equal ids
/// across the models come up, and maybe a root without geometry, which is reported;
/// returns the model text and its number of objects.
std::string random_model(FuzzedDataProvider& in, Names& names, const std::vector<size_t>& pool,
                         size_t& objects, size_t& messages) {
  std::string text;
  uint32_t used = 0;
  int count = in.ConsumeIntegralInRange<int>(1, 5);
  objects = 0;
  messages = 0;
  for (int i = 0; i < count; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 7) {
      size_t key = names.make(in);
      text += Names::key(key) + "\t{\"speckle_type\":\"W\",\"id\":" + random_id(in, names, key) +
              ",\"@displayValue\":[]}\n";
      ++messages;
      continue;
    }
    size_t k = in.ConsumeIntegralInRange<size_t>(0, pool.size() - 1);
    if (used >> k & 1) continue;
    used |= 1u << k;
    ++objects;
    text += random_object(in, names, pool[k], messages);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  FuzzedDataProvider in(data, size);
  const float thresholds[] = {0.0f, 0.0625f, 0.25f, 0.5f, 1.0f, INFINITY};
  const float min_dist = in.PickValueInArray(thresholds);
  Names names;
  std::vector<size_t> pool;
  for (int k = 0; k < 8; ++k) pool.push_back(names.make(in));
  size_t count_a = 0, count_b = 0, messages_a = 0, messages_b = 0;
  std::string text_a = random_model(in, names, pool, count_a, messages_a);
  std::string text_b = random_model(in, names, pool, count_b, messages_b);

  fuzz::Outcome named = fuzz::run_pipeline(names.render(text_a, false), names.render(text_b, false), min_dist);
  fuzz::check(!named.fault && named.a.size() == count_a && named.b.size() == count_b,
              "a valid object did not become a mesh");
  fuzz::check(named.diagnostics.size() == messages_a + messages_b, "messages other than those due");
  for (const MeshObject& m : named.a.objects()) m.mesh.validate();
  for (const MeshObject& m : named.b.objects()) m.mesh.validate();

  fuzz::check_same_records(named.records, fuzz::plain_pass(named.a, named.b, min_dist), min_dist);
  for (const MeshObject& p : named.a.objects())
    for (const MeshObject& q : named.b.objects()) fuzz::check_contact(p.mesh, q.mesh);

  fuzz::Outcome plain = fuzz::run_pipeline(names.render(text_a, true), names.render(text_b, true), min_dist);
  fuzz::check_same_modulo_names(named, plain, [&](std::string_view text, bool in_json) {
    return names.name_back(text, in_json);
  });
  return 0;
}
