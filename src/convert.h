// Mesh conversion: LoadedObject -> MeshObject (points, triangles, hierarchy).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "executor.h"
#include "geometry/trimesh.h"
#include "loader.h"

namespace orvex {

/// One object ready for the clash pass.
struct MeshObject {
  std::string id;
  TriMesh mesh;
  uint64_t source_index;  // position of its LoadedObject among all the loaded objects
};

/// Converts a loaded model's objects, a batch per task on `executor`, and returns them in
/// order; objects with unusable geometry are reported and left out. Reports reach
/// `sink` in the order of a sequential run, and a Fault (a face of fewer than 3
/// corners) ends the run after exactly the reports that precede it there. Takes each
/// object's id and drops each batch's meshes and runs once converted; the objects'
/// information and the numbers stay.
std::vector<MeshObject> build_mesh_objects(LoadedModel& loaded, Executor& executor, DiagnosticSink& sink);

}  // namespace orvex
