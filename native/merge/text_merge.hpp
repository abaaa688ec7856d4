// The three-way merge of one text in memory, with libgit2's `git_merge_file`
// set up to write the very bytes `git merge-file -p` writes: git's conflict
// level (zealous, with conflicts joined across lines without letters or
// digits), git's conflict styles and marker size, and the caller's labels.
//
// Where libgit2 cannot promise git's bytes, the merge declines and the
// caller runs `git merge-file` itself: input git would refuse as binary (a
// NUL byte) or as too large, a marker size libgit2 cannot hold, a label with
// a NUL byte, any libgit2 error, and the shapes where the linked libgit2 is
// known to write other bytes than git.  Plain C++, no Python.
//
// text_merge.cpp defines these functions over libgit2 (the `_text_merge`
// test module links it); the `zuv` command gets them from
// text_merge_loader.cpp, which loads that code, built as a shared object of
// its own, on first use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace merge {

// git's merge.conflictStyle.
enum class ConflictStyle { merge, diff3, zdiff3 };

// The style git's merge.conflictStyle value names (case-sensitive, as git
// reads it), or nothing for a value git rejects.
inline std::optional<ConflictStyle> conflict_style_named(std::string_view value) {
  if (value == "merge") return ConflictStyle::merge;
  if (value == "diff3") return ConflictStyle::diff3;
  if (value == "zdiff3") return ConflictStyle::zdiff3;
  return std::nullopt;
}

struct TextMergeOptions {
  ConflictStyle style = ConflictStyle::merge;
  int marker_size = 7;
  // The labels after the markers: current ("<<<<<<<"), base ("|||||||",
  // diff3 and zdiff3 only) and incoming (">>>>>>>").
  std::string_view current_label, base_label, incoming_label;
};

enum class TextMerge { clean, conflicts, declined };

// Merges the change from `base` to `incoming` into `current`.  `merged`
// holds the result unless the merge declined; clean or conflicting is
// libgit2's own answer, not a count of marker lines.
TextMerge merge_text(std::string_view base, std::string_view current, std::string_view incoming,
                     const TextMergeOptions& options, std::string& merged);

// Sets libgit2 up now, if it is not yet (the first merge does otherwise).
// Safe from any thread: a merge started meanwhile waits for it.
void prepare_text_merge();

// Loads libgit2 now where it is loaded on first use, without setting it up
// and without a word if it cannot be loaded (the first merge says so): for a
// helper thread, while the command reads its notebooks.
void load_text_merge_ahead();

// Runs `step` (load_text_merge_ahead or prepare_text_merge) on a helper
// thread, joined when this goes; without a step, or where no thread can be
// started, the first merge does that work itself.
class TextMergeWarmUp {
 public:
  explicit TextMergeWarmUp(void (*step)()) {
    if (!step) return;
    try {
      thread_ = std::thread(step);
    } catch (const std::system_error&) {
    }
  }
  TextMergeWarmUp(const TextMergeWarmUp&) = delete;
  TextMergeWarmUp& operator=(const TextMergeWarmUp&) = delete;
  ~TextMergeWarmUp() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// The linked libgit2's version as "major.minor.revision".
std::string libgit2_version();

}  // namespace merge
