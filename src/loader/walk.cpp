#include "loader/walk.h"

#include <initializer_list>
#include <string>

#include "json_text.h"

namespace orvex::loader {

namespace {

class Walk {
 public:
  Walk(const Record& root, LoadedBatch& out, DiagnosticSink& sink) : root_(root), out_(out), sink_(sink) {}

  // The object's meshes, appended to the batch; false when the walk gives no object.
  bool run() {
    const Root& root = *root_.root;
    const size_t first_run = out_.runs.size();
    const size_t first_mesh = out_.meshes.size();
    if (walk_elements(root) && !root.abandons && has_geometry(root)) return true;
    out_.runs.resize(first_run);
    out_.meshes.resize(first_mesh);
    return false;
  }

 private:
  // False when a reference abandons the walk: no warning follows.
  bool walk_elements(const Root& root) {
    for (size_t i = 0; i < root.size; ++i) {
      const Element& e = root.elements[i];
      std::string_view label = e.text.key;
      if (e.kind == ElementKind::Unsupported) {
        report(DiagnosticCode::UnsupportedDisplayType, {"ERROR: Display value type not supported: ", label});
        continue;
      }
      const size_t faces_begin = out_.runs.size();
      size_t vertices_begin;
      if (e.kind == ElementKind::InlineMesh) {
        if (!e.faces.readable) {
          report(DiagnosticCode::FacesUnreadable, {"ERROR: Could not extract faces from object: ", label});
          continue;
        }
        push(e.faces.numbers);
        vertices_begin = out_.runs.size();
        if (!e.vertices.readable) {
          report(DiagnosticCode::VerticesUnreadable, {"ERROR: Could not extract vertices from object: ", label});
          drop_faces(faces_begin);
          continue;
        }
        push(e.vertices.numbers);
      } else {
        const Record* mesh = e.text.target;
        if (mesh == nullptr) {
          report(DiagnosticCode::MissingObject, {"ERROR: Could not find object ", label, " in object_map"});
          return false;
        }
        if (mesh->type == TypeKind::NotString) return false;
        if (mesh->type == TypeKind::OtherString) continue;
        if (!resolve_chunks(mesh->mesh->faces, "faces")) {
          report(DiagnosticCode::FacesUnreadable, {"ERROR: Could not extract faces from object: ", label});
          continue;
        }
        vertices_begin = out_.runs.size();
        if (!resolve_chunks(mesh->mesh->vertices, "vertices")) {
          report(DiagnosticCode::VerticesUnreadable, {"ERROR: Could not extract vertices from object: ", label});
          drop_faces(faces_begin);
          continue;
        }
      }
      face_count_ += count(faces_begin, vertices_begin);
      vertex_count_ += count(vertices_begin, out_.runs.size());
      out_.meshes.push_back({faces_begin, vertices_begin, out_.runs.size()});
    }
    return true;
  }

  bool has_geometry(const Root& root) {
    if (face_count_ == 0) {
      report(DiagnosticCode::NoFaces, {"WARN: object id ", id_json(root), " has no faces."});
      return false;
    }
    if (vertex_count_ == 0) {
      report(DiagnosticCode::NoVertices, {"WARN: object id ", id_json(root), " has no vertices."});
      return false;
    }
    return true;
  }

  void push(const NumberRun& run) {
    if (run.size > 0) out_.runs.push_back(run);
  }

  size_t count(size_t begin, size_t end) const {
    size_t n = 0;
    for (size_t i = begin; i < end; ++i) n += out_.runs[i].size;
    return n;
  }

  // A mesh whose vertices cannot be read still counts its faces for the warnings, but
  // gives no mesh.
  void drop_faces(size_t faces_begin) {
    face_count_ += count(faces_begin, out_.runs.size());
    out_.runs.resize(faces_begin);
  }

  // Appends the chunks' number runs in order; on failure leaves the runs as they were.
  bool resolve_chunks(const ChunkRefs& member, std::string_view name) {
    if (!member.readable) return false;
    const size_t start = out_.runs.size();
    for (size_t i = 0; i < member.size; ++i) {
      const KeyRef& ref = member.refs[i];
      if (ref.target == nullptr) {
        report(DiagnosticCode::MissingChunk,
               {"ERROR: Unable to find reference ", name, " with id ", ref.key, " in object map."});
        out_.runs.resize(start);
        return false;
      }
      const NumberList& data = ref.target->data;
      if (!data.readable) {
        out_.runs.resize(start);
        return false;
      }
      push(data.numbers);
    }
    if (!member.complete) {
      out_.runs.resize(start);
      return false;
    }
    return true;
  }

  void report(DiagnosticCode code, std::initializer_list<std::string_view> parts) {
    std::string line;
    for (std::string_view p : parts) line.append(p);
    sink_.report({code, std::string(root_.key), std::move(line)});
  }

  static std::string id_json(const Root& root) {
    if (!root.id_is_string) return std::string(root.id);
    std::string out;
    append_json_string(out, root.id);
    return out;
  }

  const Record& root_;
  LoadedBatch& out_;
  DiagnosticSink& sink_;
  size_t face_count_ = 0;
  size_t vertex_count_ = 0;
};

}  // namespace

void walk(const Record& root, bool keep_info, LoadedBatch& out, DiagnosticSink& sink) {
  const size_t first_mesh = out.meshes.size();
  if (!Walk(root, out, sink).run()) return;
  LoadedObject object{std::string(root.key), first_mesh, out.meshes.size(), {}, {}};
  if (keep_info) {
    object.type = root.root->type;
    object.meta = root.root->meta;
  }
  out.objects.push_back(std::move(object));
}

}  // namespace orvex::loader
