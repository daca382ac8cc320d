// Triangle mesh with a bounding-volume hierarchy built once at construction.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "geometry/aabb.h"
#include "geometry/bvh.h"
#include "geometry/vec.h"

namespace orvex {

/// The mesh constructor's rejection of its input; what() is the text reported to the user.
class MeshError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Surface mesh: float points, u32 triangles, taken as given (no merging, no removal of
/// degenerate triangles). Triangles with a non-finite corner never take part in a contact.
class TriMesh {
 public:
  /// Every index must name a point (the converter checks this before building).
  /// Throws MeshError("A triangle mesh must contain at least one triangle.") for an
  /// empty triangle list.
  TriMesh(std::vector<Point> points, std::vector<Triangle> triangles);

  std::span<const Point> points() const { return points_; }
  std::span<const Triangle> triangles() const { return triangles_; }
  /// Box around every triangle with finite corners; empty when there is none.
  const Aabb& bounds() const { return bounds_; }
  /// Hierarchy over the finite triangles, built once by the constructor.
  const Bvh& bvh() const { return bvh_; }

  /// Whether the triangles bound a solid (see is_closed in geometry/solid.h). Decided on
  /// the first call, which costs a sort of the corners and edges, and kept: the clash
  /// pass never asks. Any number of threads may call it at once.
  bool closed() const;

  /// Checks every invariant of the hierarchy; throws std::logic_error naming the first broken one.
  void validate() const;

 private:
  /// An answer worked out on first use; copies carry what is known and never throw (so
  /// meshes still move, not copy, when a vector of them grows). Threads that race work
  /// out the same answer from the same immutable mesh, so relaxed order suffices.
  class LazyFlag {
   public:
    LazyFlag() = default;
    LazyFlag(const LazyFlag& other) noexcept : state_(other.state_.load(std::memory_order_relaxed)) {}
    LazyFlag& operator=(const LazyFlag& other) noexcept {
      state_.store(other.state_.load(std::memory_order_relaxed), std::memory_order_relaxed);
      return *this;
    }
    template <class Decide>
    bool get(Decide&& decide) const {
      uint8_t state = state_.load(std::memory_order_relaxed);
      if (state == kUnknown) {
        state = decide() ? kYes : kNo;
        state_.store(state, std::memory_order_relaxed);
      }
      return state == kYes;
    }

   private:
    static constexpr uint8_t kUnknown = 0, kNo = 1, kYes = 2;
    mutable std::atomic<uint8_t> state_{kUnknown};
  };

  std::vector<Point> points_;
  std::vector<Triangle> triangles_;
  Bvh bvh_;
  Aabb bounds_;
  LazyFlag closed_;
};

}  // namespace orvex
