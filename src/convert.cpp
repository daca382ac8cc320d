#include "convert.h"

namespace orvex {

std::vector<MeshObject> build_mesh_objects(std::vector<LoadedObject>) { return {}; }

}  // namespace orvex
