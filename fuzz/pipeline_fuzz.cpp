// Whole pipeline on arbitrary bytes: load, convert and pass two models.
// Input: one byte choosing the threshold, model a, a NUL byte, model b; without a NUL
// byte model a is passed on both sides. Fault is the one outcome of bad data that ends
// a call; any other exception, a crash, a sanitizer report or a failed check is a finding.
// The checks: every mesh's hierarchy is valid, the pass equals the plain N x M pass, the
// contact query equals the brute force over all triangle pairs, the same models with
// the number-like characters of their keys and string values renamed give the same
// outcome, and the loader's -0 check agrees with the rewrite's own scan on every line.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <simdjson.h>

#include "diagnostics.h"
#include "fuzz_checks.h"
#include "json_line.h"
#include "pipeline.h"

namespace {

constexpr float kThresholds[] = {0.0f, 0.1f, 0.5f, 2.0f, -0.25f, INFINITY, -INFINITY, NAN};
constexpr size_t kNone = std::string_view::npos;

/// The text in a heap block of exactly its size, so that any read past its end is
/// caught by AddressSanitizer.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

orvex::fuzz::Outcome run(std::string_view text_a, std::string_view text_b, float min_dist) {
  auto a = exact_copy(text_a);
  auto b = exact_copy(text_b);
  return orvex::fuzz::run_pipeline({a.get(), text_a.size()}, {b.get(), text_b.size()}, min_dist);
}

// The renaming: each of these characters becomes '#' and the letter of its place
// ("-0" -> "#a#c"). No member name that the loader reads and no type that it compares
// holds one, so a renamed model means what the model means.
constexpr std::string_view kRenamed = "-+0123456789";

// Whether the renaming maps names one to one: there is no '#' to take for a renamed
// character, nor a \u escape of a renamed character or '#' ("\u002b", "\u0023",
// "\u0030"), which the renaming leaves as it is.
bool renamable(std::string_view text) {
  return text.find('#') == kNone && text.find("u002") == kNone && text.find("u003") == kNone;
}

// Appends `s` renamed: a raw key, or the inside of a JSON string, whose escapes stay as
// they are ("\X", and "\uXXXX" with its four digits).
void append_renamed(std::string& out, std::string_view s, bool json) {
  for (size_t i = 0; i < s.size(); ++i) {
    size_t k = kRenamed.find(s[i]);
    if (k == kNone) {
      out += s[i];
      if (json && s[i] == '\\' && i + 1 < s.size()) {
        size_t n = s[i + 1] == 'u' ? 5 : 1;
        out.append(s.substr(i + 1, n));
        i += n;
      }
      continue;
    }
    out += '#';
    out += static_cast<char>('a' + k);
  }
}

// `text` with its keys and the JSON string values of its lines renamed; member names,
// numbers and everything else stay. Strings are delimited as simdjson delimits them:
// a '"' closes one unless an odd run of backslashes precedes it.
std::string renamed(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    std::string_view line = text.substr(at, lf == kNone ? kNone : lf + 1 - at);
    at += line.size();
    size_t tab = line.find('\t');
    if (tab == kNone) {
      out += line;
      continue;
    }
    append_renamed(out, line.substr(0, tab), false);
    for (size_t i = tab; i < line.size();) {
      if (line[i] != '"') {
        out += line[i++];
        continue;
      }
      size_t close = i + 1;
      while (close < line.size() && line[close] != '"') close += line[close] == '\\' ? 2 : 1;
      close = std::min(close, line.size());
      size_t next = line.find_first_not_of(" \t\r\n", close + 1);
      bool member_name = close < line.size() && next != kNone && line[next] == ':';
      std::string_view body = line.substr(i + 1, close - i - 1);
      out += '"';
      if (member_name) out += body;
      else append_renamed(out, body, true);
      if (close < line.size()) out += '"';
      i = close + 1;
    }
  }
  return out;
}

std::string name_back(std::string_view text, bool /*in_json: the escapes leave '#' and letters alone*/) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '#' && i + 1 < text.size()) out += kRenamed.at(static_cast<size_t>(text[++i] - 'a'));
    else out += text[i];
  }
  return out;
}

// On every line that simdjson takes as it stands (no integer beyond 64 bits), the
// loader's -0 check and the rewrite's own scan agree on whether there is an integer -0.
void check_negative_zero_scans(std::string_view text) {
  static simdjson::dom::parser parser;
  std::string rewritten;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    std::string_view line = text.substr(at, lf == kNone ? kNone : lf - at);
    at += line.size() + 1;
    size_t tab = line.find('\t');
    if (tab == kNone) continue;
    std::string_view json = line.substr(tab + 1);
    simdjson::dom::element value;
    if (parser.parse(json.data(), json.size(), true).get(value) != simdjson::SUCCESS) continue;
    orvex::fuzz::check(orvex::has_negative_zero_integer(json) == orvex::rewrite_integers_as_doubles(json, rewritten),
                       "the -0 check and the rewrite disagree");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  if (size == 0) return 0;
  const float min_dist = kThresholds[data[0] % std::size(kThresholds)];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t cut = rest.find('\0');
  std::string_view text_a = rest.substr(0, cut);
  std::string_view text_b = cut == kNone ? text_a : rest.substr(cut + 1);

  check_negative_zero_scans(text_a);
  check_negative_zero_scans(text_b);
  fuzz::Outcome outcome = run(text_a, text_b, min_dist);
  if (!outcome.fault) {
    for (const MeshObject& m : outcome.a.objects()) m.mesh.validate();
    for (const MeshObject& m : outcome.b.objects()) m.mesh.validate();
    fuzz::check_same_records(outcome.records, fuzz::plain_pass(outcome.a, outcome.b, min_dist), min_dist);
    // The contact query against the brute force, on whatever geometry the bytes gave,
    // where the pair is small enough to try every triangle pair.
    for (const MeshObject& p : outcome.a.objects()) {
      for (const MeshObject& q : outcome.b.objects()) {
        if (p.mesh.triangles().size() * q.mesh.triangles().size() <= 4096) fuzz::check_contact(p.mesh, q.mesh);
      }
    }
  }
  if (renamable(rest)) {
    fuzz::check_same_modulo_names(outcome, run(renamed(text_a), renamed(text_b), min_dist), name_back);
  }
  return 0;
}
