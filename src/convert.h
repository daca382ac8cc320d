// Mesh conversion: LoadedObject -> MeshObject (points, triangles, hierarchy).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics.h"
#include "geometry/trimesh.h"
#include "loader.h"

namespace orvex {

/// One object ready for the clash pass.
struct MeshObject {
  std::string id;
  TriMesh mesh;
  uint64_t source_index;  // position of its LoadedObject in the loaded list
};

/// Converts one model's loaded objects, in order; objects with unusable geometry are
/// reported to `sink` and left out. Consumes the list.
std::vector<MeshObject> build_mesh_objects(std::vector<LoadedObject> objects, DiagnosticSink& sink);

}  // namespace orvex
