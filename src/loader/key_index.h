// The object map: key -> the record of the last accepted line with that key.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "executor.h"
#include "loader/records.h"

namespace orvex::loader {

/// Open addressing with linear probing, in partitions of keys (by hash) that are built
/// side by side, one task each; the keys live in the records. Read-only once built.
class KeyIndex {
 public:
  /// Indexes the records of `ranges`, which hold the text's records in text order: a key
  /// maps to its last record, and each earlier record of the key is marked superseded.
  /// Uses one partition per thread of `executor`; the result is the same for any number.
  KeyIndex(std::span<std::vector<Record>> ranges, Executor& executor);

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
  size_t part_of(uint64_t hash) const { return static_cast<size_t>(hash >> 40) % parts_.size(); }
  void build(std::span<std::vector<Record>> ranges, size_t part);

  std::vector<Part> parts_;
};

/// Resolves every reference of the records of `ranges` (display-list references and
/// chunk references) to its target in `index`, one task per range.
void resolve_references(std::span<std::vector<Record>> ranges, const KeyIndex& index, Executor& executor);

}  // namespace orvex::loader
