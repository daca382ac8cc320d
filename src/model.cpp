#include "model.h"

#include <atomic>
#include <thread>

#include "diagnostics.h"

namespace orvex {

namespace {

std::vector<Aabb> boxes_of(const std::vector<MeshObject>& objects) {
  std::vector<Aabb> boxes;
  boxes.reserve(objects.size());
  for (const MeshObject& o : objects) boxes.push_back(o.mesh.bounds());
  return boxes;
}

}  // namespace

Model::Model(std::vector<MeshObject> objects, std::vector<ObjectInfo> info)
    : objects_(std::move(objects)), info_(std::move(info)), tree_(boxes_of(objects_)) {
  if (!info_.empty() && info_.size() != objects_.size()) {
    throw Fault(FaultKind::Internal, "object information does not match the objects");
  }
  index_.reserve(objects_.size());
  for (size_t i = 0; i < objects_.size(); ++i) {
    index_.emplace(objects_[i].id, i);
    bounds_.grow(objects_[i].mesh.bounds());
  }
}

size_t Model::find(std::string_view key) const {
  auto it = index_.find(key);
  return it == index_.end() ? npos : it->second;
}

void release(Model&& model) noexcept {
  static std::atomic<int> in_flight{0};
  const bool large = model.size() >= kBackgroundRelease;
  if (!large || in_flight.fetch_add(1) >= kReleasesInFlight) {
    if (large) in_flight.fetch_sub(1);
    Model gone(std::move(model));
    return;
  }
  try {
    std::thread([held = std::move(model)]() mutable {
      { Model gone(std::move(held)); }
      in_flight.fetch_sub(1);
    }).detach();
  } catch (...) {
    // No thread to be had (std::system_error, std::bad_alloc): the model went with the
    // callable, here.
    in_flight.fetch_sub(1);
  }
}

}  // namespace orvex
