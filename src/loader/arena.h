// Storage for what the loader keeps of the lines it reads: numbers, and copies of the
// strings and small arrays that the walk needs, in blocks that never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include <simdjson.h>

namespace orvex::loader {

/// Bump allocation in blocks that are never moved or grown, so that what was stored
/// stays where it was written until the arena goes. Blocks start small (a small model
/// gets a small arena) and double up to a limit; blocks of the limit's size are mapped
/// on huge-page boundaries and ask for transparent huge pages, which saves most of the
/// page faults of first touch. Not thread-safe: one arena per thread.
class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(Arena&& other) noexcept;
  Arena& operator=(Arena&& other) noexcept;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  /// Room for `bytes` at an alignment of 16, to be followed by commit() of at most that
  /// many bytes before the next call. Throws std::bad_alloc.
  void* reserve(size_t bytes);
  void commit(size_t bytes) {
    // Blocks and commits are whole multiples of the alignment, so the room reserved
    // always holds the padded size.
    next_ += padded(bytes);
    left_ -= padded(bytes);
  }

  /// `n` default-initialised values; only for trivially destructible types.
  template <typename T>
  T* make(size_t n) {
    static_assert(std::is_trivially_destructible_v<T> && alignof(T) <= kAlign);
    T* at = static_cast<T*>(reserve(n * sizeof(T)));
    commit(n * sizeof(T));
    for (size_t i = 0; i < n; ++i) new (at + i) T;
    return at;
  }

  /// A copy of `s` that lives as long as the arena.
  std::string_view copy(std::string_view s);

  /// A point to rewind to: everything stored after it is dropped.
  struct Mark {
    size_t blocks;
    char* next;
    size_t left;
  };
  Mark mark() const { return {blocks_.size(), next_, left_}; }
  void rewind(const Mark& m);

 private:
  static constexpr size_t kAlign = 16;
  static size_t padded(size_t bytes) { return (bytes + kAlign - 1) & ~(kAlign - 1); }
  void grow(size_t bytes);
  void release();

  struct Block {
    char* data;
    size_t size;
    bool mapped;  // from mmap (else from malloc)
  };
  std::vector<Block> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
  size_t next_size_ = 0;  // size of the next ordinary block
};

/// What conversion reads of a number as a face count or corner index: the fraction cut
/// off, negative values and NaN sent to 0, clamped at UINT64_MAX. Never fails.
inline uint64_t to_index(double x) {
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(x);
}

/// How a run's numbers are stored: whole numbers 0..255 and 0..65535 as such, others as
/// floats or doubles.
enum class NumberWidth : uint8_t { U8, U16, F32, F64 };

/// The numbers of one JSON array as the loader keeps them for conversion, which reads a
/// number either as a coordinate (its nearest float) or through to_index. Each run takes
/// the narrowest storage in which every one of its numbers reads the same both ways:
/// small whole numbers (face lists) as bytes or 16-bit words, floats for nearly all
/// others (integers, and coordinates not within a rounding of a whole number; a few that
/// would read the same stay doubles). Entries that are not numbers are left out.
struct NumberRun {
  const void* data = nullptr;
  size_t size = 0;
  NumberWidth width = NumberWidth::F64;

  double operator[](size_t i) const {
    switch (width) {
      case NumberWidth::U8: return static_cast<const uint8_t*>(data)[i];
      case NumberWidth::U16: return static_cast<const uint16_t*>(data)[i];
      case NumberWidth::F32: return static_cast<const float*>(data)[i];
      default: return static_cast<const double*>(data)[i];
    }
  }

  /// Calls f(values, size) with the numbers as an array of their stored type.
  template <class F>
  void visit(F&& f) const {
    switch (width) {
      case NumberWidth::U8: return f(static_cast<const uint8_t*>(data), size);
      case NumberWidth::U16: return f(static_cast<const uint16_t*>(data), size);
      case NumberWidth::F32: return f(static_cast<const float*>(data), size);
      default: return f(static_cast<const double*>(data), size);
    }
  }
};

/// Stores the number entries of `array` in `arena`, with `wide` as room to work in. Sets
/// `saw_zero` when one of them is the integer 0, which the text may spell "-0" (simdjson
/// reads it as 0).
NumberRun store_numbers(simdjson::dom::array array, Arena& arena, std::vector<double>& wide, bool& saw_zero);

}  // namespace orvex::loader
