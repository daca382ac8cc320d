// A loaded and meshed model: built once, then clashed any number of times.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert.h"
#include "geometry/broad_phase.h"

namespace orvex {

/// What reports show of a displayed object beyond its mesh.
struct ObjectInfo {
  std::string type;  // the line's "speckle_type" when it is a string, else empty
  std::string meta;  // the line's other members as one compact JSON object, without the
                     // display lists; empty when the model was built without them
};

/// Read-only after construction, so any number of threads may clash it at once.
class Model {
 public:
  static constexpr size_t npos = std::numeric_limits<size_t>::max();

  Model() = default;
  /// `info` is empty or holds one entry per object. Builds the key index, the
  /// broad-phase tree over the objects' boxes and the model's bounds. Throws
  /// Fault(Input) for more than UINT32_MAX / 2 objects.
  Model(std::vector<MeshObject> objects, std::vector<ObjectInfo> info);
  // The key index views the objects' ids: a copy would view the original's.
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  Model(Model&&) = default;
  Model& operator=(Model&&) = default;

  size_t size() const { return objects_.size(); }
  const std::vector<MeshObject>& objects() const { return objects_; }
  /// Empty unless the model was built keeping it; else parallel to objects().
  const std::vector<ObjectInfo>& info() const { return info_; }
  /// Box around every object's finite triangles; empty for a model without any.
  const Aabb& bounds() const { return bounds_; }
  /// The objects' boxes (mesh bounds) and the broad-phase hierarchy over them.
  const BroadPhase& tree() const { return tree_; }

  /// Position of the object with this key, or npos. Keys are unique in a model built
  /// from a text (the last line of a key wins there).
  size_t find(std::string_view key) const;

 private:
  std::vector<MeshObject> objects_;
  std::vector<ObjectInfo> info_;
  std::unordered_map<std::string_view, size_t> index_;
  BroadPhase tree_;
  Aabb bounds_;
};

/// Destroys `model`, on a thread of its own when it is large (kBackgroundRelease objects or
/// more, and fewer than kReleasesInFlight such threads running): releasing tens of
/// thousands of meshes takes milliseconds its owner need not wait for. Small models, and
/// any model when no thread can be started, are destroyed before this returns. The
/// thread touches nothing but the model; a process that forks or exits meanwhile is
/// unaffected (a child keeps a copy it never frees, as it would of any live model).
void release(Model&& model) noexcept;
inline constexpr size_t kBackgroundRelease = 1024;
inline constexpr int kReleasesInFlight = 4;

}  // namespace orvex
