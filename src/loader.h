// Model loading: model text -> object map -> one LoadedObject per displayed object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics.h"

namespace orvex {

/// Where one display mesh's numbers stand in its object's flat lists: faces in
/// [face_begin, face_end) of `faces`, vertices in [vertex_begin, vertex_end) of
/// `vertices`. Each mesh's corner indices count from its own first point.
struct MeshRange {
  size_t face_begin = 0;
  size_t face_end = 0;
  size_t vertex_begin = 0;
  size_t vertex_end = 0;
};

/// One displayed object as the loader yields it.
struct LoadedObject {
  std::string id;                 // the object's key in the model, not its "id" member
  std::vector<double> vertices;   // x, y, z of every point of every usable mesh, never empty
  std::vector<double> faces;      // count-prefixed faces of those meshes, never empty
  std::vector<MeshRange> meshes;  // one per element whose faces and vertices were both read
};

/// Loads one model text: splits it into keyed lines, keeps each accepted line's
/// object under its key (the last accepted line of a key wins) and walks every
/// object's display list. Reports the loader's diagnostics to `sink` as their
/// conditions arise. Objects are walked, and their records returned, in text
/// order; a key that occurs on several accepted lines is walked at its last one.
/// `text` must stay alive and unchanged until the call returns.
/// Throws Fault only when the JSON parser cannot take a line at all (beyond 4 GiB).
std::vector<LoadedObject> load_objects(std::string_view text, DiagnosticSink& sink);

}  // namespace orvex
