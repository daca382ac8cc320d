#include "geometry/mesh_contact.h"

namespace orvex {

std::optional<Contact> mesh_contact(const TriMesh&, const TriMesh&, float, ContactStats*) {
  return std::nullopt;
}

}  // namespace orvex
