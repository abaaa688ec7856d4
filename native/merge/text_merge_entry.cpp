// The entry point of the shared object that holds libgit2's merge, the only
// symbol it exports.
#include "merge/text_merge_entry.hpp"

extern "C" __attribute__((visibility("default"))) const merge::TextMergeEntry*
zuv_text_merge_entry() {
  static const merge::TextMergeEntry kEntry{merge::kTextMergeEntryLayout, merge::merge_text,
                                            merge::prepare_text_merge, merge::libgit2_version};
  return &kEntry;
}
