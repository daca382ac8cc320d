#include "json_text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace orvex {

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t plain = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, plain, i - plain);
    plain = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\b': out.push_back('b'); break;
      case '\f': out.push_back('f'); break;
      case '\n': out.push_back('n'); break;
      case '\r': out.push_back('r'); break;
      case '\t': out.push_back('t'); break;
      default:
        out.append("u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xf]);
    }
  }
  out.append(s, plain);
  out.push_back('"');
}

ShortestDigits shortest_digits(double v) {
  // The scientific shortest round-trip form "d[.ddd]e±x" gives the digits and the
  // exponent: v = 0.d1..dn × 10^(x + 1).
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
  ShortestDigits out;
  const char* p = buf;
  if (*p == '-') {
    out.negative = true;
    ++p;
  }
  const char* e = std::find(p, static_cast<const char*>(end), 'e');
  out.digits[out.count++] = *p;
  for (const char* q = p + 2; q < e; ++q) out.digits[out.count++] = *q;  // past the point
  int exp10 = 0;
  const char* x = e + 1;
  if (*x == '+') ++x;
  std::from_chars(x, static_cast<const char*>(end), exp10);
  out.point = exp10 + 1;
  return out;
}

namespace {

// The digits of `d` in positional notation, with ".0" after a whole number.
void append_positional(std::string& out, const ShortestDigits& d) {
  const std::string_view digits = d.view();
  const int n = d.count;
  const int k = d.point;
  if (n <= k) {
    out.append(digits);
    out.append(static_cast<size_t>(k - n), '0');
    out.append(".0");
  } else if (0 < k) {
    out.append(digits.substr(0, static_cast<size_t>(k)));
    out.push_back('.');
    out.append(digits.substr(static_cast<size_t>(k)));
  } else {
    out.append("0.");
    out.append(static_cast<size_t>(-k), '0');
    out.append(digits);
  }
}

// d[.ddd]e, the exponent left to the caller.
void append_mantissa(std::string& out, const ShortestDigits& d) {
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.view().substr(1));
  }
  out.push_back('e');
}

}  // namespace

void append_json_double(std::string& out, double v) {
  const ShortestDigits d = shortest_digits(v);
  if (d.negative) out.push_back('-');
  if (-5 < d.point && d.point <= 16) {
    append_positional(out, d);
  } else {
    append_mantissa(out, d);
    out.append(std::to_string(d.point - 1));
  }
}

void append_python_double(std::string& out, double v) {
  const ShortestDigits d = shortest_digits(v);
  if (d.negative) out.push_back('-');
  if (-4 < d.point && d.point <= 16) {
    append_positional(out, d);
    return;
  }
  append_mantissa(out, d);
  const int exp10 = d.point - 1;
  out.push_back(exp10 < 0 ? '-' : '+');
  if (std::abs(exp10) < 10) out.push_back('0');
  out.append(std::to_string(std::abs(exp10)));
}

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// One open array or object: its members in output order (keys empty for arrays).
struct Container {
  std::vector<std::pair<std::string_view, element>> members;
  size_t next = 0;
  bool object = false;
};

void append_scalar(std::string& out, element v) {
  switch (v.type()) {
    case element_type::STRING: append_json_string(out, v.get_string().value_unsafe()); break;
    case element_type::INT64: out.append(std::to_string(v.get_int64().value_unsafe())); break;
    case element_type::UINT64: out.append(std::to_string(v.get_uint64().value_unsafe())); break;
    case element_type::DOUBLE: append_json_double(out, v.get_double().value_unsafe()); break;
    case element_type::BOOL: out.append(v.get_bool().value_unsafe() ? "true" : "false"); break;
    default: out.append("null"); break;
  }
}

Container open(element v) {
  Container c;
  if (v.type() == element_type::ARRAY) {
    simdjson::dom::array items = v.get_array().value_unsafe();
    for (element item : items) c.members.emplace_back(std::string_view(), item);
    return c;
  }
  c.object = true;
  simdjson::dom::object fields = v.get_object().value_unsafe();
  for (auto field : fields) c.members.emplace_back(field.key, field.value);
  // Sorted by key bytes; of repeated keys the last occurrence stays.
  std::stable_sort(c.members.begin(), c.members.end(),
                   [](const auto& l, const auto& r) { return l.first < r.first; });
  std::vector<std::pair<std::string_view, element>> kept;
  for (size_t i = 0; i < c.members.size(); ++i) {
    if (i + 1 < c.members.size() && c.members[i + 1].first == c.members[i].first) continue;
    kept.push_back(c.members[i]);
  }
  c.members = std::move(kept);
  return c;
}

bool is_container(element v) {
  return v.type() == element_type::ARRAY || v.type() == element_type::OBJECT;
}

}  // namespace

std::string compact_json(element value) {
  std::string out;
  if (!is_container(value)) {
    append_scalar(out, value);
    return out;
  }
  std::vector<Container> stack;
  out.push_back(value.type() == element_type::ARRAY ? '[' : '{');
  stack.push_back(open(value));
  while (!stack.empty()) {
    Container& top = stack.back();
    if (top.next == top.members.size()) {
      out.push_back(top.object ? '}' : ']');
      stack.pop_back();
      continue;
    }
    auto [key, item] = top.members[top.next];
    if (top.next++ > 0) out.push_back(',');
    if (top.object) {
      append_json_string(out, key);
      out.push_back(':');
    }
    if (is_container(item)) {
      out.push_back(item.type() == element_type::ARRAY ? '[' : '{');
      stack.push_back(open(item));  // invalidates `top`
    } else {
      append_scalar(out, item);
    }
  }
  return out;
}

std::optional<std::string> string_member(simdjson::dom::parser& parser, std::string_view object,
                                         std::string_view name) {
  simdjson::dom::object members;
  std::string_view value;
  if (parser.parse(object.data(), object.size()).get(members) != simdjson::SUCCESS ||
      members.at_key(name).get(value) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace orvex
