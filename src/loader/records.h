// Record reading: each accepted model line reduced to a compact record of what the display
// walk can read of it, as a root, as a mesh reached by reference and as a chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json_line.h"
#include "loader/arena.h"

namespace orvex::loader {

struct Record;

/// A key named by a reference: a copy of it, its hash and, once the key index has
/// resolved it, the record of the last accepted line with that key (null: none).
struct KeyRef {
  std::string_view key;
  uint64_t hash = 0;
  const Record* target = nullptr;
};

/// An array member read as a number list; not readable when missing or not an array.
struct NumberList {
  bool readable = false;
  NumberRun numbers;
};

/// A mesh member read as chunk references: the "referencedId" texts of its entries up to
/// the first entry that has none.
struct ChunkRefs {
  bool readable = false;  // the member is an array
  bool complete = false;  // every entry has a string "referencedId"
  KeyRef* refs = nullptr;
  size_t size = 0;
};

enum class ElementKind : uint8_t { InlineMesh, Reference, Unsupported };

/// One display-list element, reduced to what the walk reads of it.
struct Element {
  ElementKind kind = ElementKind::Unsupported;
  KeyRef text;  // the mesh label, the "referencedId" (resolved) or the unsupported type
  NumberList faces;  // of an inline mesh
  NumberList vertices;
};

/// What a root line adds to its record.
struct Root {
  std::string_view id;  // the "id" text, or a non-string id's compact JSON
  bool id_is_string = false;
  bool abandons = false;  // an element after the last one kept abandons the walk
  Element* elements = nullptr;
  size_t size = 0;
  std::string_view type;  // the "speckle_type"
  std::string_view meta;  // when asked for: the other members as one compact JSON object
};

/// A mesh line's chunk references.
struct MeshRefs {
  ChunkRefs faces;
  ChunkRefs vertices;
};

/// How a line's "speckle_type" decides its use as a referenced mesh.
enum class TypeKind : uint8_t { NotString, Mesh, OtherString };

/// One accepted line. What it points to lives in the arenas of the reader that read it.
struct Record {
  std::string_view key;
  uint64_t hash = 0;
  TypeKind type = TypeKind::NotString;
  bool superseded = false;  // a later accepted line has the same key (set by the key index)
  NumberList data;
  MeshRefs* mesh = nullptr;  // when type is Mesh
  Root* root = nullptr;      // when it has a string type, an "id" and a display-list array
};

/// Hash of a key, as records and references carry it.
uint64_t key_hash(std::string_view key);

/// Reads runs of whole lines into records. One per thread: it holds a JSON parser, and the
/// arenas that keep what the records point to.
class RecordReader {
 public:
  /// `keep_info`: roots also keep their type and the compact JSON of their members.
  explicit RecordReader(bool keep_info);

  /// Appends the records of the accepted lines of `lines` (whole lines of a text that
  /// ends at `text_end`, which must stay alive and unchanged during the call) in text
  /// order. Nothing kept points into the text. Throws Fault only when the JSON parser
  /// cannot take a line at all (beyond 4 GiB), and std::bad_alloc.
  void read(std::string_view lines, const char* text_end, std::vector<Record>& out);

  /// The numbers of the lines read; conversion reads them.
  Arena numbers;
  /// Keys, strings and element lists; only the walk reads them.
  Arena strings;

 private:
  void read_line(std::string_view key, std::string_view json, size_t readable_after, std::vector<Record>& out);
  bool extract(simdjson::dom::element value, Record& r, bool& saw_zero);
  bool display_element(simdjson::dom::element e, Element& out, bool& saw_zero);
  NumberList numbers_of(simdjson::dom::element v, bool& saw_zero);
  ChunkRefs chunk_refs(bool present, simdjson::dom::element v);
  KeyRef key_ref(std::string_view key);
  std::string_view meta_of(simdjson::dom::object obj);

  // A member of a root line, for its information.
  struct Member {
    std::string_view key;
    simdjson::dom::element value;
  };
  // Up to this many members, repeated keys are found by comparing with each member.
  static constexpr size_t kFewMembers = 16;

  JsonLineParser parser_;
  bool keep_info_;
  // Reused for every line.
  std::vector<double> scratch_numbers_;
  std::vector<Element> scratch_elements_;
  std::vector<KeyRef> scratch_refs_;
  std::vector<Member> scratch_members_;
  std::unordered_map<std::string_view, size_t> first_of_;
  std::string scratch_meta_;
  simdjson::internal::string_builder<> minified_;
};

}  // namespace orvex::loader
