#include "json_line.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "diagnostics.h"

namespace orvex {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_number_char(char c) {
  return is_digit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// Whether an integer literal (optional '-', then digits) is kept as an integer:
// it fits u64, or i64 when negative, and is not -0.
bool stays_integer(std::string_view literal) {
  const char* first = literal.data();
  const char* last = first + literal.size();
  if (literal[0] == '-') {
    int64_t v;
    auto r = std::from_chars(first, last, v);
    return r.ec == std::errc() && v != 0;
  }
  uint64_t v;
  return std::from_chars(first, last, v).ec == std::errc();
}

// Whether the '"' at `q`, inside a string, is escaped: an odd run of backslashes
// precedes it. The run cannot reach past the string's opening '"'.
bool escaped(const char* q) {
  size_t run = 0;
  while (q[-1 - static_cast<ptrdiff_t>(run)] == '\\') ++run;
  return run % 2 == 1;
}

}  // namespace

JsonLineParser::JsonLineParser() {
  // allocate() fixes the depth limit that every later capacity growth keeps.
  if (parser_.allocate(simdjson::SIMDJSON_PADDING, kMaxJsonDepth) != simdjson::SUCCESS)
    throw Fault(FaultKind::Internal, "cannot allocate the JSON parser");
}

simdjson::error_code JsonLineParser::parse(std::string_view json, size_t readable_after,
                                           simdjson::dom::element& value) {
  bool in_place = readable_after >= simdjson::SIMDJSON_PADDING;
  simdjson::error_code err = parser_.parse(json.data(), json.size(), !in_place).get(value);
  // simdjson rejects integers beyond 64 bits as NUMBER_ERROR; spelt as fractions
  // they parse as the nearest double.
  if (err == simdjson::NUMBER_ERROR) return parse_rewritten(json, value);
  return err;
}

simdjson::error_code JsonLineParser::parse_rewritten(std::string_view json,
                                                     simdjson::dom::element& value) {
  if (!rewrite_integers_as_doubles(json, rewritten_)) return simdjson::NUMBER_ERROR;
  return parser_.parse(rewritten_.data(), rewritten_.size(), true).get(value);
}

bool rewrite_integers_as_doubles(std::string_view json, std::string& out) {
  out.clear();
  size_t copied = 0;
  size_t i = 0;
  const size_t n = json.size();
  while (i < n) {
    char c = json[i];
    if (c == '"') {
      for (++i; i < n && json[i] != '"'; ++i) {
        if (json[i] == '\\') ++i;
      }
      ++i;
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    size_t start = i;
    if (c == '-') ++i;
    size_t digits = i;
    while (i < n && is_digit(json[i])) ++i;
    bool integer = i > digits && !(i < n && is_number_char(json[i]));
    if (integer && !stays_integer(json.substr(start, i - start))) {
      out.append(json.substr(copied, i - copied));
      out.append(".0");
      copied = i;
    }
    while (i < n && is_number_char(json[i])) ++i;
  }
  if (copied == 0) return false;
  out.append(json.substr(copied));
  return true;
}

bool has_negative_zero_integer(std::string_view json) {
  // `json` passed simdjson's validation, itself or as the copy parse_rewritten made,
  // which differs only by ".0" after integers. That makes this simple scan exact: in
  // valid JSON a '"' outside a string opens one, and the first '"' after it that no odd
  // run of backslashes escapes closes it; outside strings a '-' after 'e' or 'E' is an
  // exponent's sign and any other starts a number. memmem is the cheap first filter
  // (nearly every line has a 0, few a "-0"); the quote scan runs only on its hits.
  const char* const begin = json.data();
  const char* const end = begin + json.size();
  const char* scanned = begin;  // string state known up to here
  bool in_string = false;
  for (const char* p = begin; (p = static_cast<const char*>(memmem(p, end - p, "-0", 2))) != nullptr;
       p += 2) {
    if (p + 2 < end && is_number_char(p[2])) continue;      // -0.5, -0e1
    if (p > begin && (p[-1] == 'e' || p[-1] == 'E')) continue;  // 1e-0
    for (const char* q; (q = static_cast<const char*>(memchr(scanned, '"', p - scanned))) != nullptr;
         scanned = q + 1) {
      if (!in_string || !escaped(q)) in_string = !in_string;
    }
    scanned = p;
    if (!in_string) return true;
  }
  return false;
}

}  // namespace orvex
