#include "loader/arena.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace orvex::loader {

namespace {

constexpr size_t kFirstBlock = size_t{16} << 10;
// Blocks of this size are mapped on their own, at a huge-page boundary.
constexpr size_t kHugePage = size_t{2} << 20;

// A mapping of `bytes` (a multiple of kHugePage) that starts on a huge-page boundary:
// map more, then give back the unaligned head and tail.
char* map_aligned(size_t bytes) {
  size_t span = bytes + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* begin = static_cast<char*>(raw);
  char* at = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(begin) + kHugePage - 1) & ~(kHugePage - 1));
  if (at > begin) munmap(begin, static_cast<size_t>(at - begin));
  char* end = begin + span;
  if (end > at + bytes) munmap(at + bytes, static_cast<size_t>(end - (at + bytes)));
  madvise(at, bytes, MADV_HUGEPAGE);
  return at;
}

}  // namespace

Arena::~Arena() { release(); }

Arena::Arena(Arena&& other) noexcept
    : blocks_(std::move(other.blocks_)), next_(other.next_), left_(other.left_), next_size_(other.next_size_) {
  other.blocks_.clear();
  other.next_ = nullptr;
  other.left_ = 0;
  other.next_size_ = 0;
}

Arena& Arena::operator=(Arena&& other) noexcept {
  if (this != &other) {
    release();
    blocks_ = std::move(other.blocks_);
    next_ = std::exchange(other.next_, nullptr);
    left_ = std::exchange(other.left_, 0);
    next_size_ = std::exchange(other.next_size_, 0);
    other.blocks_.clear();
  }
  return *this;
}

void Arena::release() {
  for (const Block& b : blocks_) {
    if (b.mapped) munmap(b.data, b.size);
    else std::free(b.data);
  }
  blocks_.clear();
}

void* Arena::reserve(size_t bytes) {
  if (bytes > left_) grow(bytes);
  return next_;
}

void Arena::grow(size_t bytes) {
  if (bytes > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
  size_t size = std::max(next_size_, kFirstBlock);
  next_size_ = std::min(size * 2, kHugePage);
  Block block{nullptr, std::max(size, padded(bytes)), false};
  blocks_.reserve(blocks_.size() + 1);
  if (block.size >= kHugePage) {
    block.size = (block.size + kHugePage - 1) / kHugePage * kHugePage;
    block.data = map_aligned(block.size);
    block.mapped = true;
  } else {
    block.data = static_cast<char*>(std::aligned_alloc(kAlign, block.size));
    if (block.data == nullptr) throw std::bad_alloc();
  }
  blocks_.push_back(block);
  next_ = block.data;
  left_ = block.size;
}

std::string_view Arena::copy(std::string_view s) {
  if (s.empty()) return {};
  char* at = static_cast<char*>(reserve(s.size()));
  std::memcpy(at, s.data(), s.size());
  commit(padded(s.size()));
  return {at, s.size()};
}

void Arena::rewind(const Mark& m) {
  while (blocks_.size() > m.blocks) {
    const Block& b = blocks_.back();
    if (b.mapped) munmap(b.data, b.size);
    else std::free(b.data);
    blocks_.pop_back();
  }
  next_ = m.next;
  left_ = m.left;
}

namespace {

// Whether the float of `d` reads as `d` (see NumberRun): the same value, or within 2^30
// the same whole part, which to_index gives when positive and which is 0 for both when
// negative. Without branches, as lists mix exact and inexact numbers; the casts are
// only made within range.
bool reads_as_float(double d) {
  const float f = static_cast<float>(d);
  const bool in_range = std::abs(d) < 0x1p30;
  const double d_in = in_range ? d : 0.0;
  const float f_in = in_range ? f : 0.0f;
  return (static_cast<double>(f) == d) | (in_range & (static_cast<int32_t>(f_in) == static_cast<int32_t>(d_in)));
}

}  // namespace

NumberRun store_numbers(simdjson::dom::array array, Arena& arena, std::vector<double>& wide, bool& saw_zero) {
  // A number takes two tape slots, so half the array's slots bound its numbers. They
  // are read as doubles beside the arena, then stored in the narrowest width that
  // reads the same.
  const size_t most = array.number_of_slots() / 2;
  if (wide.size() < most) wide.resize(most);
  double* const read = wide.data();
  size_t n = 0;
  bool whole = true;  // every number is an integer from 0 to 65535
  uint64_t largest = 0;
  bool zero = false;
  for (simdjson::dom::element x : array) {
    int64_t i;
    if (x.get_int64().get(i) == simdjson::SUCCESS) {
      // Any integer 0 sends the line to the -0 check.
      zero |= i == 0;
      largest = std::max(largest, static_cast<uint64_t>(i));
      read[n++] = static_cast<double>(i);
    } else if (x.get_double().get(read[n]) == simdjson::SUCCESS) {
      whole = false;
      ++n;
    }
  }
  saw_zero |= zero;
  whole &= largest <= 65535;
  bool narrow = true;
  if (!whole) {
    for (size_t k = 0; k < n; ++k) narrow &= reads_as_float(read[k]);
  }
  const NumberWidth width = whole ? (largest <= 255 ? NumberWidth::U8 : NumberWidth::U16)
                            : narrow ? NumberWidth::F32
                                     : NumberWidth::F64;
  void* const data = arena.reserve(n * sizeof(double));
  size_t bytes = 0;
  switch (width) {
    case NumberWidth::U8: {
      auto* out = static_cast<uint8_t*>(data);
      for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(read[k]);
      bytes = n;
      break;
    }
    case NumberWidth::U16: {
      auto* out = static_cast<uint16_t*>(data);
      for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint16_t>(read[k]);
      bytes = n * 2;
      break;
    }
    case NumberWidth::F32: {
      auto* out = static_cast<float*>(data);
      for (size_t k = 0; k < n; ++k) out[k] = static_cast<float>(read[k]);
      bytes = n * sizeof(float);
      break;
    }
    case NumberWidth::F64:
      if (n > 0) std::memcpy(data, read, n * sizeof(double));
      bytes = n * sizeof(double);
      break;
  }
  arena.commit(bytes);
  return {data, n, width};
}

}  // namespace orvex::loader
