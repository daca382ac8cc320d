#include "report_rows.h"

#include <cmath>

#include "json_text.h"

namespace orvex {
namespace {

void json_number(std::string& out, double v) {
  if (std::isfinite(v)) {
    append_python_double(out, v);
  } else {
    out.append("null");
  }
}

void json_text(std::string& out, const std::optional<std::string_view>& s) {
  if (s) {
    append_json_string(out, *s);
  } else {
    out.append("null");
  }
}

void json_point(std::string& out, const std::array<double, 3>& p) {
  out.push_back('[');
  json_number(out, p[0]);
  out.append(", ");
  json_number(out, p[1]);
  out.append(", ");
  json_number(out, p[2]);
  out.push_back(']');
}

// `"name": ` before a member's value, the first without the comma.
void member(std::string& out, std::string_view name, bool first = false) {
  if (!first) out.append(", ");
  out.push_back('"');
  out.append(name);
  out.append("\": ");
}

void json_object(std::string& out, const RowObject& o) {
  out.push_back('{');
  member(out, "model", true);
  append_json_string(out, o.model);
  member(out, "key");
  append_json_string(out, o.key);
  member(out, "type");
  append_json_string(out, o.type);
  member(out, "name");
  json_text(out, o.name);
  member(out, "level");
  json_text(out, o.level);
  out.push_back('}');
}

// A field as csv.writer writes it with minimal quoting: in quotes, quotes doubled, when
// it holds a comma, a quote, CR or LF.
void csv_text(std::string& out, std::string_view s) {
  if (s.find_first_of(",\"\r\n") == std::string_view::npos) {
    out.append(s);
    return;
  }
  out.push_back('"');
  for (char c : s) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

void csv_text(std::string& out, const std::optional<std::string_view>& s) {
  if (s) csv_text(out, *s);
}

// A finite number as repr() writes it; nothing for one that is not.
void csv_number(std::string& out, double v) {
  if (std::isfinite(v)) append_python_double(out, v);
}

void csv_object(std::string& out, const RowObject& o) {
  for (std::string_view s : {o.model, o.key, o.type}) {
    csv_text(out, s);
    out.push_back(',');
  }
  csv_text(out, o.name);
  out.push_back(',');
  csv_text(out, o.level);
  out.push_back(',');
}

}  // namespace

void append_json_row(std::string& out, const ClashRow& row) {
  out.push_back('{');
  member(out, "id", true);
  append_json_string(out, row.id);
  member(out, "check");
  append_json_string(out, row.check);
  member(out, "kind");
  append_json_string(out, row.kind);
  member(out, "status");
  append_json_string(out, row.status);
  member(out, "group");
  json_text(out, row.group);
  member(out, "dist");
  json_number(out, row.dist);
  member(out, "previous_dist");
  json_number(out, row.previous_dist);
  member(out, "point_a");
  json_point(out, row.point_a);
  member(out, "point_b");
  json_point(out, row.point_b);
  member(out, "a");
  json_object(out, row.a);
  member(out, "b");
  json_object(out, row.b);
  if (row.volume) {
    member(out, "volume");
    json_number(out, *row.volume);
  }
  if (row.thickness) {
    member(out, "thickness");
    json_number(out, *row.thickness);
  }
  if (row.centre) {
    member(out, "centre");
    json_point(out, *row.centre);
  }
  if (row.contained) {
    member(out, "contained");
    append_json_string(out, *row.contained);
  }
  if (row.approximate) {
    member(out, "approximate");
    out.append("true");
  }
  out.push_back('}');
}

void append_csv_row(std::string& out, const ClashRow& row) {
  for (std::string_view s : {row.id, row.check, row.kind, row.status}) {
    csv_text(out, s);
    out.push_back(',');
  }
  csv_text(out, row.group);
  out.push_back(',');
  csv_number(out, row.dist);
  out.push_back(',');
  csv_number(out, row.previous_dist);
  out.push_back(',');
  csv_object(out, row.a);
  csv_object(out, row.b);
  constexpr double kUnknown = NAN;
  const std::array<double, 3> centre = row.centre.value_or(std::array<double, 3>{kUnknown, kUnknown, kUnknown});
  for (const std::array<double, 3>* p : {&row.point_a, &row.point_b}) {
    for (double v : *p) {
      csv_number(out, v);
      out.push_back(',');
    }
  }
  csv_number(out, row.volume.value_or(kUnknown));
  out.push_back(',');
  csv_number(out, row.thickness.value_or(kUnknown));
  out.push_back(',');
  for (double v : centre) {
    csv_number(out, v);
    out.push_back(',');
  }
  csv_text(out, row.contained);
  out.append("\r\n");
}

}  // namespace orvex
