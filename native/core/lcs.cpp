#include "core/lcs.hpp"

namespace zuv::lcs {

// Counting the bits of stored rows is a large part of the backtrack; use the
// processor's popcount instruction where there is one.
__attribute__((target_clones("popcnt", "default")))
std::size_t count_ones(const Word* words, std::size_t count) {
  std::size_t ones = 0;
  for (std::size_t w = 0; w < count; ++w) ones += static_cast<std::size_t>(std::popcount(words[w]));
  return ones;
}

}  // namespace zuv::lcs
