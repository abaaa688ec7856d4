// The boundary between the `zuv` command and the module that holds libgit2's
// merge (merge/text_merge.cpp built as a shared object of its own, installed
// beside the command's): one entry point, found by name, returning a table
// of the module's functions.  Loading libgit2 and the libraries it links
// costs every process that loads it about 10M instructions, so the command
// loads it on its first in-process merge (merge/text_merge_loader.cpp).
#pragma once

#include <string>
#include <string_view>

#include "merge/text_merge.hpp"

namespace merge {

// The module file's name, beside the `zuv` extension module.
inline constexpr char kTextMergeModuleFile[] = "libzuv-text-merge.so";
// The entry point: `const TextMergeEntry* zuv_text_merge_entry()`.
inline constexpr char kTextMergeEntryName[] = "zuv_text_merge_entry";
// Changed with the table's layout, so that a module of another build is
// refused rather than called.
inline constexpr int kTextMergeEntryLayout = 1;

struct TextMergeEntry {
  int layout = kTextMergeEntryLayout;
  TextMerge (*merge_text)(std::string_view base, std::string_view current,
                          std::string_view incoming, const TextMergeOptions& options,
                          std::string& merged) = nullptr;
  void (*prepare_text_merge)() = nullptr;
  std::string (*libgit2_version)() = nullptr;
};

}  // namespace merge
