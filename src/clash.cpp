#include "clash.h"

#include <algorithm>
#include <cmath>

#include "diagnostics.h"
#include "executor.h"

namespace orvex {

namespace {

// Objects of `a` (or pairs) per task at most: a task then outweighs its start many times,
// and there are enough tasks for the objects' uneven costs to even out over the threads.
constexpr size_t kMaxBatch = 64;

bool selected(std::span<const uint8_t> flags, size_t i) { return flags.empty() || flags[i] != 0; }

// [0, n) cut into runs of `grain`, one per task.
struct Runs {
  size_t n;
  size_t grain;

  size_t count() const { return batch_count(n, grain); }
  size_t begin(size_t k) const { return k * grain; }
  size_t end(size_t k) const { return std::min(n, (k + 1) * grain); }
};

Runs runs_of(size_t n, const ClashRequest& request) {
  const size_t threads = std::max(1u, request.threads);
  return {n, std::clamp<size_t>(n / (threads * 8), 1, kMaxBatch)};
}

// Runs batch(k, part) for every run k on the request's threads and returns the parts
// joined in run order: the same vector for any number of threads.
template <class T, class Batch>
std::vector<T> joined_runs(const Runs& runs, const ClashRequest& request, Batch&& batch) {
  std::vector<std::vector<T>> parts(runs.count());
  Executor(request.threads, request.poll).parallel_for(parts.size(), [&](size_t k) { batch(k, parts[k]); });
  size_t total = 0;
  for (const std::vector<T>& p : parts) total += p.size();
  std::vector<T> joined;
  joined.reserve(total);
  for (std::vector<T>& p : parts) joined.insert(joined.end(), p.begin(), p.end());
  return joined;
}

void check_selection(const Model& a, const Model& b, const ClashRequest& request) {
  if ((!request.select_a.empty() && request.select_a.size() != a.size()) ||
      (!request.select_b.empty() && request.select_b.size() != b.size())) {
    throw Fault(FaultKind::Internal, "selection flags do not match the model");
  }
}

// Broad-phase scratch of one batch, reused by each of its queries.
struct Scratch {
  std::vector<uint32_t> candidates;
  std::vector<uint32_t> stack;
};

// Calls visit(i, j) for every pair (i in [begin, end)) that the pass considers at this
// reach, in loop order.
template <class Visit>
void for_each_candidate(const Model& a, const Model& b, const ClashRequest& request, float reach,
                        size_t begin, size_t end, Scratch& scratch, uint64_t* box_tests, Visit&& visit) {
  for (size_t i = begin; i < end; ++i) {
    if (!selected(request.select_a, i)) continue;
    const MeshObject& p = a.objects()[i];
    scratch.candidates.clear();
    b.tree().query(p.mesh.bounds(), reach, scratch.candidates, scratch.stack, box_tests);
    std::sort(scratch.candidates.begin(), scratch.candidates.end());  // visit b in list order
    for (uint32_t j : scratch.candidates) {
      if (request.self && j <= i) continue;
      if (!selected(request.select_b, j)) continue;
      // std::string equality compares the lengths first, then the bytes.
      if (p.id == b.objects()[j].id) continue;
      visit(static_cast<uint32_t>(i), j);
    }
  }
}

}  // namespace

std::vector<Hit> clash_models(const Model& a, const Model& b, const ClashRequest& request,
                              PassStats* stats) {
  check_selection(a, b, request);
  const float min_dist = request.min_dist;
  // NaN and -inf accept no distance.
  if (a.size() == 0 || b.size() == 0 || !(min_dist > -INFINITY)) return {};

  // Only a distance below min_dist is kept, and the query never reports one beyond the
  // reach, so no pair farther apart than this can be kept. With min_dist <= 0 it is 0:
  // only touching or crossing triangles can give a negative distance. A float distance
  // below min_dist comes from a double one below it (rounding is monotone), so the
  // query's own pruning at this reach keeps every triangle pair that can win.
  const float reach = min_dist <= 0.0f ? 0.0f : std::min(min_dist, request.reach);  // never -0

  const Runs runs = runs_of(a.size(), request);
  // Counters per run, summed after: integers, so the sums never depend on the runs.
  std::vector<PassStats> counted(runs.count());
  std::vector<Hit> found = joined_runs<Hit>(runs, request, [&](size_t k, std::vector<Hit>& out) {
    Scratch scratch;
    PassStats& local = counted[k];
    auto test = [&](uint32_t i, uint32_t j) {
      ContactStats work;
      const std::optional<Contact> contact =
          mesh_contact(a.objects()[i].mesh, b.objects()[j].mesh, reach, &work);
      ++local.object_pairs;
      local.node_pairs += work.node_pairs;
      local.triangle_pairs += work.triangle_pairs;
      if (contact && min_dist > contact->dist) {
        out.push_back({i, j, contact->dist, contact->point1, contact->point2});
      }
    };
    for_each_candidate(a, b, request, reach, runs.begin(k), runs.end(k), scratch, &local.box_tests, test);
  });
  if (stats) {
    for (const PassStats& s : counted) {
      stats->object_pairs += s.object_pairs;
      stats->node_pairs += s.node_pairs;
      stats->triangle_pairs += s.triangle_pairs;
      stats->box_tests += s.box_tests;
    }
  }
  return found;
}

std::vector<ObjectPair> candidate_pairs(const Model& a, const Model& b, const ClashRequest& request) {
  check_selection(a, b, request);
  const float reach = request.reach;
  if (a.size() == 0 || b.size() == 0 || !(reach >= 0.0f)) return {};
  const Runs runs = runs_of(a.size(), request);
  return joined_runs<ObjectPair>(runs, request, [&](size_t k, std::vector<ObjectPair>& out) {
    Scratch scratch;
    for_each_candidate(a, b, request, reach, runs.begin(k), runs.end(k), scratch, nullptr,
                       [&](uint32_t i, uint32_t j) { out.emplace_back(i, j); });
  });
}

std::vector<std::optional<Contact>> contacts(const Model& a, const Model& b,
                                             std::span<const ObjectPair> pairs, const ClashRequest& request) {
  for (const ObjectPair& p : pairs) {
    if (p.first >= a.size() || p.second >= b.size()) {
      throw Fault(FaultKind::Input, "object pair out of range");
    }
  }
  std::vector<std::optional<Contact>> found(pairs.size());
  const Runs runs = runs_of(pairs.size(), request);
  Executor(request.threads, request.poll).parallel_for(runs.count(), [&](size_t k) {
    for (size_t i = runs.begin(k); i < runs.end(k); ++i) {
      const ObjectPair& p = pairs[i];
      found[i] = mesh_contact(a.objects()[p.first].mesh, b.objects()[p.second].mesh, request.reach);
    }
  });
  return found;
}

std::vector<CollisionRecord> records_of(const std::vector<Hit>& hits, const Model& a, const Model& b) {
  std::vector<CollisionRecord> records;
  records.reserve(hits.size());
  for (const Hit& h : hits) {
    records.push_back({a.objects()[h.a].id, b.objects()[h.b].id, h.dist, h.point_a});
  }
  return records;
}

}  // namespace orvex
