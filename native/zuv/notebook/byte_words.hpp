// Tests on eight bytes at a time, for the JSON reader's and writer's scans
// of string text.  Each answers with the high bit of every byte that
// matches; a match can also flag a byte after it (a borrow carries upward),
// never one before it, so the lowest flag is always exact.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zuv::cli::words {

// Words are read with the first byte in the low bits.
static_assert(std::endian::native == std::endian::little);

inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighBits = 0x8080808080808080ULL;

inline uint64_t load(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

constexpr uint64_t zero_bytes(uint64_t word) { return (word - kOnes) & ~word & kHighBits; }

constexpr uint64_t bytes_equal(uint64_t word, unsigned char c) {
  return zero_bytes(word ^ (kOnes * c));
}

// Bytes below `bound` (at most 128).
constexpr uint64_t bytes_below(uint64_t word, unsigned char bound) {
  return (word - kOnes * bound) & ~word & kHighBits;
}

// Bytes that are not zero (exact for every byte: no carry crosses bytes).
constexpr uint64_t nonzero_bytes(uint64_t word) {
  return (((word & ~kHighBits) + ~kHighBits) | word) & kHighBits;
}

// The number of bytes before the first flagged one.
inline int bytes_before(uint64_t flags) { return std::countr_zero(flags) / 8; }

}  // namespace zuv::cli::words
