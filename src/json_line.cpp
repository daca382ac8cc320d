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
  const char* p = json.data();
  const char* end = p + json.size();
  while ((p = static_cast<const char*>(memmem(p, end - p, "-0", 2))) != nullptr) {
    p += 2;
    if (p == end || !is_number_char(*p)) return true;
  }
  return false;
}

}  // namespace orvex
