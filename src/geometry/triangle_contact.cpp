#include "geometry/triangle_contact.h"

namespace orvex {

std::optional<TrianglePairContact> triangle_contact(const Triangle3d&, const Triangle3d&, double) {
  return std::nullopt;
}

}  // namespace orvex
