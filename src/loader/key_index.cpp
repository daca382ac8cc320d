#include "loader/key_index.h"

#include <algorithm>
#include <bit>

namespace orvex::loader {

KeyIndex::KeyIndex(std::span<std::vector<Record>> ranges, Executor& executor) : parts_(executor.threads()) {
  executor.parallel_for(parts_.size(), [&](size_t part) { build(ranges, part); });
}

void KeyIndex::build(std::span<std::vector<Record>> ranges, size_t part) {
  size_t count = 0;
  for (const std::vector<Record>& records : ranges) {
    for (const Record& r : records) count += part_of(r.hash) == part;
  }
  // At most half full: probes stay short, and the table is sized once.
  Part& p = parts_[part];
  p.slots.assign(std::bit_ceil(std::max<size_t>(16, 2 * count)), Slot{});
  p.mask = p.slots.size() - 1;
  for (std::vector<Record>& records : ranges) {
    for (Record& r : records) {
      if (part_of(r.hash) != part) continue;
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
  const Part& p = parts_[part_of(hash)];
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
