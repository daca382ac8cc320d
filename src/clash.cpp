#include "clash.h"

namespace orvex {

std::vector<CollisionRecord> clash_pass(const std::vector<MeshObject>&, const std::vector<MeshObject>&,
                                        float, PassStats*) {
  return {};
}

}  // namespace orvex
