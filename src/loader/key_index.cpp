#include "loader/key_index.h"

#include <algorithm>
#include <bit>

namespace orvex::loader {

KeyIndex::Groups KeyIndex::group(const std::vector<Record>& records, size_t parts) {
  Groups out;
  out.ends.assign(parts, 0);
  for (const Record& r : records) ++out.ends[part_of(r.hash, parts)];
  uint32_t end = 0;
  for (uint32_t& e : out.ends) end = e += end;
  // Placed from the back, so each group keeps text order.
  out.order.resize(records.size());
  std::vector<uint32_t> next = out.ends;
  for (size_t i = records.size(); i-- > 0;) out.order[--next[part_of(records[i].hash, parts)]] = static_cast<uint32_t>(i);
  return out;
}

KeyIndex::KeyIndex(std::span<std::vector<Record>> ranges, std::span<const Groups> groups, Executor& executor)
    : parts_(parts_for(executor)) {
  executor.parallel_for(parts_.size(), [&](size_t part) { build(ranges, groups, part); });
}

void KeyIndex::build(std::span<std::vector<Record>> ranges, std::span<const Groups> groups, size_t part) {
  auto begin = [&](const Groups& g) { return part == 0 ? 0 : g.ends[part - 1]; };
  size_t count = 0;
  for (const Groups& g : groups) count += g.ends[part] - begin(g);
  // At most half full: probes stay short, and the table is sized once.
  Part& p = parts_[part];
  p.slots.assign(std::bit_ceil(std::max<size_t>(16, 2 * count)), Slot{});
  p.mask = p.slots.size() - 1;
  for (size_t range = 0; range < ranges.size(); ++range) {
    const Groups& g = groups[range];
    for (size_t k = begin(g); k < g.ends[part]; ++k) {
      Record& r = ranges[range][g.order[k]];
      for (size_t at = r.hash & p.mask;; at = (at + 1) & p.mask) {
        Slot& s = p.slots[at];
        if (s.record == nullptr) {
          s = {r.hash, &r};
          break;
        }
        if (s.hash == r.hash && s.record->key == r.key) {
          s.record->superseded = true;
          s.record = &r;
          break;
        }
      }
    }
  }
}

const Record* KeyIndex::find(std::string_view key, uint64_t hash) const {
  const Part& p = parts_[part_of(hash, parts_.size())];
  for (size_t at = hash & p.mask;; at = (at + 1) & p.mask) {
    const Slot& s = p.slots[at];
    if (s.record == nullptr) return nullptr;
    if (s.hash == hash && s.record->key == key) return s.record;
  }
}

void resolve_references(std::span<std::vector<Record>> ranges, const KeyIndex& index, Executor& executor) {
  auto resolve = [&](KeyRef& ref) { ref.target = index.find(ref.key, ref.hash); };
  executor.parallel_for(ranges.size(), [&](size_t range) {
    for (Record& r : ranges[range]) {
      if (r.root != nullptr) {
        for (size_t i = 0; i < r.root->size; ++i) {
          Element& e = r.root->elements[i];
          if (e.kind == ElementKind::Reference) resolve(e.text);
        }
      }
      if (r.mesh != nullptr) {
        for (size_t i = 0; i < r.mesh->faces.size; ++i) resolve(r.mesh->faces.refs[i]);
        for (size_t i = 0; i < r.mesh->vertices.size; ++i) resolve(r.mesh->vertices.refs[i]);
      }
    }
  });
}

}  // namespace orvex::loader
