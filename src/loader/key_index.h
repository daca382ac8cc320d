// The object map: key -> the record of the last accepted line with that key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "executor.h"
#include "loader/records.h"

namespace orvex::loader {

/// Open addressing with linear probing, in partitions of keys (by hash) that are built
/// side by side, one task each, over the records that the reading tasks grouped by
/// partition; the keys live in the records. Read-only once built.
class KeyIndex {
 public:
  /// The records of one range in groups, one per partition, each in text order:
  /// group p is order[ends[p - 1]] .. order[ends[p] - 1] (from 0 for p = 0).
  struct Groups {
    std::vector<uint32_t> order;
    std::vector<uint32_t> ends;
  };

  /// The groups of `records` for an index of `parts` partitions (see parts_for).
  static Groups group(const std::vector<Record>& records, size_t parts);
  /// Partitions of an index built on `executor`: one per thread.
  static size_t parts_for(const Executor& executor) { return executor.threads(); }

  /// Indexes the records of `ranges`, which hold the text's records in text order and
  /// are grouped in `groups` for this executor: a key maps to its last record, and each
  /// earlier record of the key is marked superseded. The partitions are built side by
  /// side; the result is the same for any number.
  KeyIndex(std::span<std::vector<Record>> ranges, std::span<const Groups> groups, Executor& executor);

  /// The record of `key` (whose key_hash is `hash`), or null.
  const Record* find(std::string_view key, uint64_t hash) const;

 private:
  struct Slot {
    uint64_t hash = 0;
    Record* record = nullptr;  // null: empty
  };
  struct Part {
    std::vector<Slot> slots;
    size_t mask = 0;
  };
  static size_t part_of(uint64_t hash, size_t parts) { return static_cast<size_t>(hash >> 40) % parts; }
  void build(std::span<std::vector<Record>> ranges, std::span<const Groups> groups, size_t part);

  std::vector<Part> parts_;
};

/// Resolves every reference of the records of `ranges` (display-list references and
/// chunk references) to its target in `index`, one task per range.
void resolve_references(std::span<std::vector<Record>> ranges, const KeyIndex& index, Executor& executor);

}  // namespace orvex::loader
