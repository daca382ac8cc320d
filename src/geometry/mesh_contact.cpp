#include "geometry/mesh_contact.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace orvex {

namespace {

struct NodePair {
  uint32_t a, b;
  double bound;  // box_contact_bound of the two nodes' boxes
};

struct Leaf {
  uint32_t count;
  std::array<Triangle3d, kMaxLeafItems> corners;
  std::array<Aabb, kMaxLeafItems> boxes;
};

Leaf load_leaf(const TriMesh& mesh, const BvhNode& node) {
  Leaf leaf{node.count, {}, {}};
  for (uint32_t i = 0; i < node.count; ++i) {
    const Triangle& t = mesh.triangles()[mesh.bvh().order[node.index + i]];
    for (int k = 0; k < 3; ++k) leaf.corners[i][k] = Vec3d(mesh.points()[t[k]]);
    leaf.boxes[i] = triangle_box(mesh.points(), t);
  }
  return leaf;
}

}  // namespace

std::optional<Contact> mesh_contact_with(const TriMesh& m1, const TriMesh& m2, float prediction,
                                         TriangleContactFn pair_contact, ContactStats* stats) {
  const std::vector<BvhNode>& nodes1 = m1.bvh().nodes;
  const std::vector<BvhNode>& nodes2 = m2.bvh().nodes;
  if (nodes1.empty() || nodes2.empty()) return std::nullopt;

  // Every box bound is lowered by the slack at the meshes' largest coordinate before it
  // is compared with the best distance or the prediction, so no pair that could hold the
  // routine's minimum is pruned.
  const double slack = kBoundSlack * std::max(m1.bounds().max_abs(), m2.bounds().max_abs());
  const double reach = prediction;
  std::optional<TrianglePairContact> best;
  // Whether two boxes with this bound may hold a triangle pair that replaces the best:
  // before any contact, one within reach; after, one strictly below the best, which by
  // the bound means a nearer gap while the best is a gap, and a deeper penetration
  // (overlap depth above the best depth) once the best penetrates.
  auto promising = [&](double bound) {
    bound -= slack;
    return best ? bound < best->dist : bound <= reach;
  };

  ContactStats counted;
  std::vector<NodePair> stack;
  double root_bound = box_contact_bound(nodes1[0].box, nodes2[0].box);
  if (promising(root_bound)) stack.push_back({0, 0, root_bound});
  while (!stack.empty()) {
    NodePair pair = stack.back();
    stack.pop_back();
    // The best may have improved since the pair was pushed.
    if (!promising(pair.bound)) continue;
    ++counted.node_pairs;
    const BvhNode& a = nodes1[pair.a];
    const BvhNode& b = nodes2[pair.b];

    if (a.leaf() && b.leaf()) {
      Leaf la = load_leaf(m1, a);
      Leaf lb = load_leaf(m2, b);
      for (uint32_t i = 0; i < la.count; ++i) {
        for (uint32_t j = 0; j < lb.count; ++j) {
          if (!promising(box_contact_bound(la.boxes[i], lb.boxes[j]))) continue;
          ++counted.triangle_pairs;
          auto c = pair_contact(la.corners[i], lb.corners[j], reach);
          // Written so that a NaN distance never becomes the best.
          if (c && c->dist < (best ? best->dist : INFINITY)) best = c;
        }
      }
      continue;
    }

    // Descend the node with the larger box, or the one that is not a leaf.
    bool split_a = !a.leaf() && (b.leaf() || a.box.half_area() >= b.box.half_area());
    NodePair near, far;
    if (split_a) {
      near = {a.index, pair.b, box_contact_bound(nodes1[a.index].box, b.box)};
      far = {a.index + 1, pair.b, box_contact_bound(nodes1[a.index + 1].box, b.box)};
    } else {
      near = {pair.a, b.index, box_contact_bound(a.box, nodes2[b.index].box)};
      far = {pair.a, b.index + 1, box_contact_bound(a.box, nodes2[b.index + 1].box)};
    }
    if (far.bound < near.bound) std::swap(near, far);
    // The nearer or deeper pair goes on top, so the best tightens early.
    if (promising(far.bound)) stack.push_back(far);
    if (promising(near.bound)) stack.push_back(near);
  }

  if (stats) {
    stats->node_pairs += counted.node_pairs;
    stats->triangle_pairs += counted.triangle_pairs;
  }
  if (!best) return std::nullopt;
  Point normal1 = to_point(best->normal);
  return Contact{to_point(best->point1),
                 to_point(best->point2),
                 normal1,
                 {-normal1[0], -normal1[1], -normal1[2]},
                 static_cast<float>(best->dist)};
}

std::optional<Contact> mesh_contact(const TriMesh& m1, const TriMesh& m2, float prediction,
                                    ContactStats* stats) {
  return mesh_contact_with(m1, m2, prediction, triangle_contact, stats);
}

}  // namespace orvex
