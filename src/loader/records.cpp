#include "loader/records.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "diagnostics.h"
#include "json_text.h"

namespace orvex::loader {

namespace {

using simdjson::dom::element;

constexpr std::string_view kMeshType = "Objects.Geometry.Mesh";
constexpr std::string_view kReferenceType = "reference";

// Members of one JSON object that the loader reads; of repeated keys the last wins.
struct Members {
  element type, id, at_display, display, faces, vertices, data, referenced_id;
  bool has_type = false, has_id = false, has_at_display = false, has_display = false,
       has_faces = false, has_vertices = false, has_data = false, has_referenced_id = false;

  explicit Members(simdjson::dom::object obj) {
    for (auto field : obj) {
      std::string_view k = field.key;
      if (k == "speckle_type") type = field.value, has_type = true;
      else if (k == "id") id = field.value, has_id = true;
      else if (k == "@displayValue") at_display = field.value, has_at_display = true;
      else if (k == "displayValue") display = field.value, has_display = true;
      else if (k == "faces") faces = field.value, has_faces = true;
      else if (k == "vertices") vertices = field.value, has_vertices = true;
      else if (k == "data") data = field.value, has_data = true;
      else if (k == "referencedId") referenced_id = field.value, has_referenced_id = true;
    }
  }
};

bool string_of(bool present, element v, std::string_view& out) {
  return present && v.get_string().get(out) == simdjson::SUCCESS;
}

// Whether the last occurrence of the member `key` is a string, and that string.
bool last_string(simdjson::dom::object obj, std::string_view key, std::string_view& out) {
  bool found = false;
  for (auto field : obj) {
    if (field.key == key) found = field.value.get_string().get(out) == simdjson::SUCCESS;
  }
  return found;
}

// Whether the line parsed. Malformed JSON skips the line; a parser that cannot take the
// line at all must not drop it silently.
bool parsed(simdjson::error_code err, std::string_view json) {
  if (err == simdjson::MEMALLOC) throw std::bad_alloc();
  if (err == simdjson::CAPACITY) {
    throw Fault(FaultKind::Input, "model line of " + std::to_string(json.size()) +
                                      " bytes is beyond the JSON parser's capacity");
  }
  return err == simdjson::SUCCESS;
}

bool is_display_list(std::string_view key) { return key == "@displayValue" || key == "displayValue"; }

}  // namespace

uint64_t key_hash(std::string_view key) { return std::hash<std::string_view>()(key); }

RecordReader::RecordReader(bool keep_info) : keep_info_(keep_info) {}

void RecordReader::read(std::string_view lines, const char* text_end, std::vector<Record>& out) {
  const char* p = lines.data();
  const char* const end = p + lines.size();
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* line_end = lf ? lf : end;
    const char* next = lf ? lf + 1 : end;
    if (lf && line_end > p && line_end[-1] == '\r') --line_end;
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', line_end - p));
    if (tab) {
      read_line(std::string_view(p, tab - p), std::string_view(tab + 1, line_end - tab - 1),
                static_cast<size_t>(text_end - line_end), out);
    }
    p = next;
  }
}

void RecordReader::read_line(std::string_view key, std::string_view json, size_t readable_after,
                             std::vector<Record>& out) {
  element value;
  if (!parsed(parser_.parse(json, readable_after, value), json)) return;
  const Arena::Mark numbers_mark = numbers.mark();
  const Arena::Mark strings_mark = strings.mark();
  bool saw_zero = false;
  Record r;
  if (!extract(value, r, saw_zero)) return;
  if (saw_zero && has_negative_zero_integer(json)) {
    numbers.rewind(numbers_mark);
    strings.rewind(strings_mark);
    r = Record();
    saw_zero = false;
    if (!parsed(parser_.parse_rewritten(json, value), json)) return;
    extract(value, r, saw_zero);
  }
  r.key = strings.copy(key);
  r.hash = key_hash(key);
  out.push_back(r);
}

// Reduces a parsed line to its record. False when the line is not accepted: its value
// is not an object with a "speckle_type" member.
bool RecordReader::extract(element value, Record& r, bool& saw_zero) {
  simdjson::dom::object obj;
  if (value.get_object().get(obj) != simdjson::SUCCESS) return false;
  Members m(obj);
  if (!m.has_type) return false;

  std::string_view type;
  bool type_is_string = string_of(true, m.type, type);
  r.type = !type_is_string     ? TypeKind::NotString
           : type == kMeshType ? TypeKind::Mesh
                               : TypeKind::OtherString;
  if (m.has_data) r.data = numbers_of(m.data, saw_zero);
  if (r.type == TypeKind::Mesh) {
    MeshRefs* mesh = strings.make<MeshRefs>(1);
    mesh->faces = chunk_refs(m.has_faces, m.faces);
    mesh->vertices = chunk_refs(m.has_vertices, m.vertices);
    r.mesh = mesh;
  }

  // "@displayValue", when present, is the display list even if it is no array.
  bool has_list = m.has_at_display || m.has_display;
  element list = m.has_at_display ? m.at_display : m.display;
  simdjson::dom::array elements;
  if (!type_is_string || !m.has_id || !has_list || list.get_array().get(elements) != simdjson::SUCCESS) {
    return true;
  }
  Root* root = strings.make<Root>(1);
  std::string_view id;
  root->id_is_string = m.id.get_string().get(id) == simdjson::SUCCESS;
  if (root->id_is_string) {
    root->id = strings.copy(id);
  } else {
    root->id = strings.copy(compact_json(m.id));
    saw_zero = true;  // the id may hold a -0 that must show as -0.0
  }
  scratch_elements_.clear();
  for (element e : elements) {
    Element out;
    if (!display_element(e, out, saw_zero)) {
      root->abandons = true;
      break;
    }
    scratch_elements_.push_back(out);
  }
  Element* kept = strings.make<Element>(scratch_elements_.size());
  std::copy(scratch_elements_.begin(), scratch_elements_.end(), kept);
  root->elements = kept;
  root->size = scratch_elements_.size();
  if (keep_info_) {
    root->type = strings.copy(type);
    root->meta = meta_of(obj);
  }
  r.root = root;
  return true;
}

// False for an element that abandons the walk: no string "speckle_type", an inline mesh
// without a string "id", a reference without a string "referencedId".
bool RecordReader::display_element(element e, Element& out, bool& saw_zero) {
  simdjson::dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return false;
  Members m(obj);
  std::string_view type, text;
  if (!string_of(m.has_type, m.type, type)) return false;
  if (type == kMeshType) {
    if (!string_of(m.has_id, m.id, text)) return false;
    out.kind = ElementKind::InlineMesh;
    if (m.has_faces) out.faces = numbers_of(m.faces, saw_zero);
    if (m.has_vertices) out.vertices = numbers_of(m.vertices, saw_zero);
    out.text.key = strings.copy(text);
  } else if (type == kReferenceType) {
    if (!string_of(m.has_referenced_id, m.referenced_id, text)) return false;
    out.kind = ElementKind::Reference;
    out.text = key_ref(text);
  } else {
    out.kind = ElementKind::Unsupported;
    out.text.key = strings.copy(type);
  }
  return true;
}

NumberList RecordReader::numbers_of(element v, bool& saw_zero) {
  NumberList out;
  simdjson::dom::array array;
  if (v.get_array().get(array) != simdjson::SUCCESS) return out;
  out.readable = true;
  out.numbers = store_numbers(array, numbers, scratch_numbers_, saw_zero);
  return out;
}

ChunkRefs RecordReader::chunk_refs(bool present, element v) {
  ChunkRefs out;
  simdjson::dom::array array;
  if (!present || v.get_array().get(array) != simdjson::SUCCESS) return out;
  out.readable = true;
  out.complete = true;
  scratch_refs_.clear();
  for (element entry : array) {
    simdjson::dom::object obj;
    std::string_view ref;
    if (entry.get_object().get(obj) != simdjson::SUCCESS || !last_string(obj, "referencedId", ref)) {
      out.complete = false;
      break;
    }
    scratch_refs_.push_back(key_ref(ref));
  }
  out.refs = strings.make<KeyRef>(scratch_refs_.size());
  std::copy(scratch_refs_.begin(), scratch_refs_.end(), out.refs);
  out.size = scratch_refs_.size();
  return out;
}

KeyRef RecordReader::key_ref(std::string_view key) { return {strings.copy(key), key_hash(key), nullptr}; }

// The members other than the display lists as one JSON object: keys in text order, each
// at its first occurrence with the value of its last, values as simdjson minifies them.
std::string_view RecordReader::meta_of(simdjson::dom::object obj) {
  std::vector<Member>& members = scratch_members_;
  members.clear();
  for (auto field : obj) {
    if (is_display_list(field.key)) continue;
    if (members.size() < kFewMembers) {
      auto same = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == field.key; });
      if (same != members.end()) {
        same->value = field.value;
        continue;
      }
    } else {
      if (members.size() == kFewMembers) {
        first_of_.clear();
        for (size_t i = 0; i < members.size(); ++i) first_of_.emplace(members[i].key, i);
      }
      auto [at, fresh] = first_of_.emplace(field.key, members.size());
      if (!fresh) {
        members[at->second].value = field.value;
        continue;
      }
    }
    members.push_back({field.key, field.value});
  }
  std::string& meta = scratch_meta_;
  meta.assign(1, '{');
  for (const Member& m : members) {
    if (meta.size() > 1) meta.push_back(',');
    append_json_string(meta, m.key);
    meta.push_back(':');
    // What simdjson::minify does, with one buffer for every value.
    minified_.clear();
    minified_.append(m.value);
    meta.append(minified_.str());
  }
  meta.push_back('}');
  return strings.copy(meta);
}

}  // namespace orvex::loader
