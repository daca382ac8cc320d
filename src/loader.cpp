#include "loader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <sys/mman.h>

#include "diagnostics.h"
#include "json_line.h"
#include "json_text.h"

namespace orvex {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::string_view kMeshType = "Objects.Geometry.Mesh";
constexpr std::string_view kReferenceType = "reference";
constexpr size_t kNone = std::numeric_limits<size_t>::max();

// A stretch of one of the model's arenas.
struct Span {
  size_t begin = 0;
  size_t size = 0;
};

// Numbers in the number arena, stored as doubles, or as floats when every one of
// them is a float exactly (face lists and other small integers mostly are), which
// halves the arena for them.
struct Numbers {
  const void* data = nullptr;
  size_t size = 0;
  bool narrow = false;
};

// An array member read as a number list; not readable when missing or not an array.
struct NumberList {
  bool readable = false;
  Numbers numbers;
};

// Holds the numbers of every accepted line until the walk copies them out. Blocks
// are never moved or grown, so a line's numbers stay where they were written and
// each number is written once; large blocks ask for transparent huge pages, which
// saves most of the page faults of first touch.
class NumberArena {
 public:
  struct Mark {
    size_t blocks;
    double* next;
    size_t left;
  };

  /// `text_size` bounds the numbers a text can hold (each takes a character and a
  /// separator), so a small model gets a small block instead of a full one.
  explicit NumberArena(size_t text_size) : most_(text_size / 2 + 1) {}

  /// Room for `n` numbers, to be followed by commit() of how many were written.
  double* reserve(size_t n) {
    if (n > left_) {
      size_t count = std::max(n, std::min(kBlockNumbers, most_));
      size_t page = count * sizeof(double) >= kHugePage ? kHugePage : kCacheLine;
      size_t bytes = (count * sizeof(double) + page - 1) / page * page;
      void* block = std::aligned_alloc(page, bytes);
      if (block == nullptr) throw std::bad_alloc();
      if (page == kHugePage) madvise(block, bytes, MADV_HUGEPAGE);
      blocks_.emplace_back(static_cast<double*>(block));
      next_ = static_cast<double*>(block);
      left_ = bytes / sizeof(double);
    }
    return next_;
  }
  void commit(size_t n) {
    next_ += n;
    left_ -= n;
  }

  Mark mark() const { return {blocks_.size(), next_, left_}; }
  void rewind(const Mark& m) {
    blocks_.resize(m.blocks);
    next_ = m.next;
    left_ = m.left;
  }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kCacheLine = 64;
  static constexpr size_t kBlockNumbers = size_t{4} << 20;
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::vector<std::unique_ptr<double[], Free>> blocks_;
  size_t most_;
  double* next_ = nullptr;
  size_t left_ = 0;
};

// A mesh member read as chunk references: the "referencedId" texts of its entries
// up to the first entry that has none.
struct ChunkRefs {
  bool readable = false;  // the member is an array
  bool complete = false;  // every entry has a string "referencedId"
  Span refs;
};

enum class ElementKind : uint8_t { InlineMesh, Reference, Unsupported };

// One display-list element, reduced to what the walk reads of it.
struct Element {
  ElementKind kind = ElementKind::Unsupported;
  Span text;  // the mesh label, the "referencedId" or the unsupported type
  NumberList faces;
  NumberList vertices;
};

// How a line's "speckle_type" decides its use as a referenced mesh.
enum class TypeKind : uint8_t { NotString, Mesh, OtherString };

// One accepted line, reduced to what any walk can read of it: as a root, as a
// mesh reached by reference and as a chunk.
struct Record {
  std::string_view key;
  TypeKind type = TypeKind::NotString;
  bool superseded = false;  // a later accepted line has the same key
  bool root = false;        // has a string type, an "id" and a display-list array
  bool id_is_string = false;
  bool abandons = false;    // an element after `elements` abandons the walk
  NumberList data;
  ChunkRefs faces;          // read only when type is Mesh
  ChunkRefs vertices;
  Span id;                  // the "id" text, or a non-string id's compact JSON
  Span elements;
};

// The object map: key -> index of the last accepted record with that key.
// Open addressing with linear probing; keys live in the records.
class KeyIndex {
 public:
  size_t find(std::string_view key, const std::vector<Record>& records) const {
    if (slots_.empty()) return kNone;
    size_t h = std::hash<std::string_view>()(key);
    for (size_t at = h & mask_;; at = (at + 1) & mask_) {
      const Slot& s = slots_[at];
      if (s.index == kNone) return kNone;
      if (s.hash == h && records[s.index].key == key) return s.index;
    }
  }

  /// Maps `key` to `index`; returns the index it mapped to before, or kNone.
  size_t put(std::string_view key, size_t index, const std::vector<Record>& records) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    size_t h = std::hash<std::string_view>()(key);
    for (size_t at = h & mask_;; at = (at + 1) & mask_) {
      Slot& s = slots_[at];
      if (s.index == kNone) {
        s = {h, index};
        ++used_;
        return kNone;
      }
      if (s.hash == h && records[s.index].key == key) {
        size_t before = s.index;
        s.index = index;
        return before;
      }
    }
  }

 private:
  struct Slot {
    size_t hash = 0;
    size_t index = kNone;
  };

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.index == kNone) continue;
      size_t at = s.hash & mask_;
      while (slots_[at].index != kNone) at = (at + 1) & mask_;
      slots_[at] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

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

// One model's accepted lines in compact form, the object map over them and the walk.
class Model {
 public:
  Model(std::string_view text, DiagnosticSink& sink) : text_(text), sink_(sink), numbers_(text.size()) {}

  void read_lines() {
    const char* p = text_.data();
    const char* const end = p + text_.size();
    while (p < end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
      const char* line_end = lf ? lf : end;
      const char* next = lf ? lf + 1 : end;
      if (lf && line_end > p && line_end[-1] == '\r') --line_end;
      const char* tab = static_cast<const char*>(std::memchr(p, '\t', line_end - p));
      if (tab) {
        read_line(std::string_view(p, tab - p),
                  std::string_view(tab + 1, line_end - tab - 1),
                  static_cast<size_t>(end - line_end));
      }
      p = next;
    }
  }

  std::vector<LoadedObject> walk_all() {
    std::vector<LoadedObject> out;
    for (const Record& r : records_) {
      if (r.root && !r.superseded) walk(r, out);
    }
    return out;
  }

 private:
  void read_line(std::string_view key, std::string_view json, size_t readable_after) {
    element value;
    if (!parsed(parser_.parse(json, readable_after, value), json)) return;
    Marks marks = mark();
    bool saw_zero = false;
    Record r;
    if (!extract(value, r, saw_zero)) return;
    if (saw_zero && has_negative_zero_integer(json)) {
      rewind(marks);
      r = Record();
      saw_zero = false;
      if (!parsed(parser_.parse_rewritten(json, value), json)) return;
      extract(value, r, saw_zero);
    }
    r.key = key;
    size_t index = records_.size();
    records_.push_back(r);
    size_t before = index_.put(key, index, records_);
    if (before != kNone) records_[before].superseded = true;
  }

  // Whether the line parsed. Malformed JSON skips the line; a parser that cannot
  // take the line at all must not drop it silently.
  static bool parsed(simdjson::error_code err, std::string_view json) {
    if (err == simdjson::MEMALLOC) throw std::bad_alloc();
    if (err == simdjson::CAPACITY) {
      throw Fault(FaultKind::Input, "model line of " + std::to_string(json.size()) +
                  " bytes is beyond the JSON parser's capacity");
    }
    return err == simdjson::SUCCESS;
  }

  struct Marks {
    size_t chars, refs, elements;
    NumberArena::Mark numbers;
  };
  Marks mark() const { return {chars_.size(), refs_.size(), elements_.size(), numbers_.mark()}; }
  void rewind(const Marks& m) {
    chars_.resize(m.chars);
    refs_.resize(m.refs);
    elements_.resize(m.elements);
    numbers_.rewind(m.numbers);
  }

  // Reduces a parsed line to its record. False when the line is not accepted: its
  // value is not an object with a "speckle_type" member.
  bool extract(element value, Record& r, bool& saw_zero) {
    simdjson::dom::object obj;
    if (value.get_object().get(obj) != simdjson::SUCCESS) return false;
    Members m(obj);
    if (!m.has_type) return false;

    std::string_view type;
    bool type_is_string = string_of(true, m.type, type);
    r.type = !type_is_string      ? TypeKind::NotString
             : type == kMeshType ? TypeKind::Mesh
                                 : TypeKind::OtherString;
    if (m.has_data) r.data = numbers(m.data, saw_zero);
    if (r.type == TypeKind::Mesh) {
      r.faces = chunk_refs(m.has_faces, m.faces);
      r.vertices = chunk_refs(m.has_vertices, m.vertices);
    }

    // "@displayValue", when present, is the display list even if it is no array.
    bool has_list = m.has_at_display || m.has_display;
    element list = m.has_at_display ? m.at_display : m.display;
    simdjson::dom::array elements;
    if (!type_is_string || !m.has_id || !has_list ||
        list.get_array().get(elements) != simdjson::SUCCESS) {
      return true;
    }
    r.root = true;
    std::string_view id;
    r.id_is_string = m.id.get_string().get(id) == simdjson::SUCCESS;
    if (r.id_is_string) {
      r.id = chars(id);
    } else {
      r.id = chars(compact_json(m.id));
      saw_zero = true;  // the id may hold a -0 that must show as -0.0
    }
    r.elements.begin = elements_.size();
    for (element e : elements) {
      Element out;
      if (!display_element(e, out, saw_zero)) {
        r.abandons = true;
        break;
      }
      elements_.push_back(out);
    }
    r.elements.size = elements_.size() - r.elements.begin;
    return true;
  }

  // False for an element that abandons the walk: no string "speckle_type", an
  // inline mesh without a string "id", a reference without a string "referencedId".
  bool display_element(element e, Element& out, bool& saw_zero) {
    simdjson::dom::object obj;
    if (e.get_object().get(obj) != simdjson::SUCCESS) return false;
    Members m(obj);
    std::string_view type, text;
    if (!string_of(m.has_type, m.type, type)) return false;
    if (type == kMeshType) {
      if (!string_of(m.has_id, m.id, text)) return false;
      out.kind = ElementKind::InlineMesh;
      if (m.has_faces) out.faces = numbers(m.faces, saw_zero);
      if (m.has_vertices) out.vertices = numbers(m.vertices, saw_zero);
    } else if (type == kReferenceType) {
      if (!string_of(m.has_referenced_id, m.referenced_id, text)) return false;
      out.kind = ElementKind::Reference;
    } else {
      text = type;
      out.kind = ElementKind::Unsupported;
    }
    out.text = chars(text);
    return true;
  }

  // Every number entry of an array, as doubles; other entries are left out.
  NumberList numbers(element v, bool& saw_zero) {
    NumberList out;
    simdjson::dom::array arr;
    if (v.get_array().get(arr) != simdjson::SUCCESS) return out;
    out.readable = true;
    // A number takes two tape slots, so half the array's slots bound its numbers.
    double* first = numbers_.reserve(arr.number_of_slots() / 2);
    double* at = first;
    for (element x : arr) {
      double d;
      if (x.get_double().get(d) != simdjson::SUCCESS) continue;
      // Any zero sends the line to the -0 check, which only an integer needs.
      saw_zero |= d == 0;
      *at++ = d;
    }
    size_t n = static_cast<size_t>(at - first);
    bool narrow = std::all_of(first, at, [](double d) {
      return std::abs(d) <= std::numeric_limits<float>::max() && static_cast<float>(d) == d;
    });
    if (narrow) {
      // Float i overlaps only doubles at or before i, which were already read.
      for (size_t i = 0; i < n; ++i) {
        float f = static_cast<float>(first[i]);
        std::memcpy(reinterpret_cast<char*>(first) + i * sizeof(float), &f, sizeof f);
      }
    }
    numbers_.commit(narrow ? (n + 1) / 2 : n);
    out.numbers = {first, n, narrow};
    return out;
  }

  ChunkRefs chunk_refs(bool present, element v) {
    ChunkRefs out;
    simdjson::dom::array arr;
    if (!present || v.get_array().get(arr) != simdjson::SUCCESS) return out;
    out.readable = true;
    out.complete = true;
    out.refs.begin = refs_.size();
    for (element entry : arr) {
      simdjson::dom::object obj;
      std::string_view ref;
      if (entry.get_object().get(obj) != simdjson::SUCCESS ||
          !last_string(obj, "referencedId", ref)) {
        out.complete = false;
        break;
      }
      refs_.push_back(chars(ref));
    }
    out.refs.size = refs_.size() - out.refs.begin;
    return out;
  }

  Span chars(std::string_view s) {
    Span out{chars_.size(), s.size()};
    chars_.append(s);
    return out;
  }
  std::string_view text(Span s) const { return std::string_view(chars_).substr(s.begin, s.size); }

  // Gathers the root's pieces of faces and vertices, printing the walk's messages as
  // their conditions arise, and copies them into a record sized once.
  void walk(const Record& root, std::vector<LoadedObject>& out) {
    faces_.clear();
    vertices_.clear();
    std::vector<MeshRange> meshes;
    size_t face_count = 0;
    size_t vertex_count = 0;
    for (size_t i = 0; i < root.elements.size; ++i) {
      const Element& e = elements_[root.elements.begin + i];
      std::string_view label = text(e.text);
      size_t face_pieces = faces_.size();
      size_t vertex_pieces = vertices_.size();
      if (e.kind == ElementKind::Unsupported) {
        report(DiagnosticCode::UnsupportedDisplayType, root, {"ERROR: Display value type not supported: ", label});
        continue;
      }
      if (e.kind == ElementKind::InlineMesh) {
        if (!e.faces.readable) {
          report(DiagnosticCode::FacesUnreadable, root, {"ERROR: Could not extract faces from object: ", label});
          continue;
        }
        faces_.push_back(e.faces.numbers);
        if (!e.vertices.readable) {
          report(DiagnosticCode::VerticesUnreadable, root, {"ERROR: Could not extract vertices from object: ", label});
          face_count += count(faces_, face_pieces);
          continue;
        }
        vertices_.push_back(e.vertices.numbers);
      } else {
        size_t at = index_.find(label, records_);
        if (at == kNone) {
          report(DiagnosticCode::MissingObject, root, {"ERROR: Could not find object ", label, " in object_map"});
          return;
        }
        const Record& mesh = records_[at];
        if (mesh.type == TypeKind::NotString) return;
        if (mesh.type == TypeKind::OtherString) continue;
        if (!resolve_chunks(root, mesh.faces, "faces", faces_)) {
          report(DiagnosticCode::FacesUnreadable, root, {"ERROR: Could not extract faces from object: ", label});
          continue;
        }
        if (!resolve_chunks(root, mesh.vertices, "vertices", vertices_)) {
          report(DiagnosticCode::VerticesUnreadable, root, {"ERROR: Could not extract vertices from object: ", label});
          face_count += count(faces_, face_pieces);
          continue;
        }
      }
      size_t element_faces = count(faces_, face_pieces);
      size_t element_vertices = count(vertices_, vertex_pieces);
      meshes.push_back({face_count, face_count + element_faces, vertex_count,
                        vertex_count + element_vertices});
      face_count += element_faces;
      vertex_count += element_vertices;
    }
    if (root.abandons) return;
    if (face_count == 0) {
      report(DiagnosticCode::NoFaces, root, {"WARN: object id ", id_json(root), " has no faces."});
      return;
    }
    if (vertex_count == 0) {
      report(DiagnosticCode::NoVertices, root, {"WARN: object id ", id_json(root), " has no vertices."});
      return;
    }
    out.push_back({std::string(root.key), join(vertices_, vertex_count), join(faces_, face_count),
                   std::move(meshes)});
  }

  static size_t count(const std::vector<Numbers>& pieces, size_t from) {
    size_t n = 0;
    for (size_t i = from; i < pieces.size(); ++i) n += pieces[i].size;
    return n;
  }

  static std::vector<double> join(const std::vector<Numbers>& pieces, size_t total) {
    std::vector<double> out;
    out.reserve(total);
    for (const Numbers& p : pieces) {
      if (p.narrow) {
        const float* f = static_cast<const float*>(p.data);
        out.insert(out.end(), f, f + p.size);
      } else {
        const double* d = static_cast<const double*>(p.data);
        out.insert(out.end(), d, d + p.size);
      }
    }
    return out;
  }

  // Appends the chunks' number pieces in order; on failure leaves `pieces` as it was.
  bool resolve_chunks(const Record& root, const ChunkRefs& member, std::string_view name,
                      std::vector<Numbers>& pieces) {
    if (!member.readable) return false;
    size_t start = pieces.size();
    for (size_t i = 0; i < member.refs.size; ++i) {
      std::string_view ref = text(refs_[member.refs.begin + i]);
      size_t at = index_.find(ref, records_);
      if (at == kNone) {
        report(DiagnosticCode::MissingChunk, root, {"ERROR: Unable to find reference ", name, " with id ", ref, " in object map."});
        pieces.resize(start);
        return false;
      }
      const NumberList& data = records_[at].data;
      if (!data.readable) {
        pieces.resize(start);
        return false;
      }
      pieces.push_back(data.numbers);
    }
    if (!member.complete) {
      pieces.resize(start);
      return false;
    }
    return true;
  }

  void report(DiagnosticCode code, const Record& root, std::initializer_list<std::string_view> parts) {
    std::string line;
    for (std::string_view p : parts) line.append(p);
    sink_.report({code, std::string(root.key), std::move(line)});
  }

  std::string id_json(const Record& root) const {
    if (!root.id_is_string) return std::string(text(root.id));
    std::string out;
    append_json_string(out, text(root.id));
    return out;
  }

  std::string_view text_;
  DiagnosticSink& sink_;
  JsonLineParser parser_;
  std::vector<Record> records_;
  KeyIndex index_;
  std::string chars_;
  NumberArena numbers_;
  std::vector<Span> refs_;
  std::vector<Element> elements_;
  // The walk's pieces of the current root's faces and vertices, reused across roots.
  std::vector<Numbers> faces_;
  std::vector<Numbers> vertices_;
};

}  // namespace

std::vector<LoadedObject> load_objects(std::string_view text, DiagnosticSink& sink) {
  Model model(text, sink);
  model.read_lines();
  return model.walk_all();
}

}  // namespace orvex
