#include "merge/text_merge.hpp"

#include <git2.h>

#include <climits>
#include <cstring>
#include <memory>

namespace merge {
namespace {

// What a libgit2 version is known to write differently from git, from the
// version on which it starts (the table is read in order; the last row that
// applies wins).
struct Quirks {
  bool empty_side_differs = false;  // drops the label of an empty side
};
struct VersionRule {
  int major = 0, minor = 0;
  Quirks quirks;
};
constexpr VersionRule kVersionRules[] = {
    {1, 9, {.empty_side_differs = true}},
};

struct Version {
  int major = 0, minor = 0, revision = 0;
};

Quirks quirks_of(Version version) {
  Quirks quirks;
  for (const VersionRule& rule : kVersionRules)
    if (version.major > rule.major || (version.major == rule.major && version.minor >= rule.minor))
      quirks = rule.quirks;
  return quirks;
}

// libgit2, set up once for the life of the process (never shut down: other
// code in the process may still use it).
struct Library {
  bool ready = false;
  Version version;
  Quirks quirks;
};

const Library& library() {
  static const Library kLibrary = [] {
    Library library;
    if (git_libgit2_init() < 0) return library;
    Version& v = library.version;
    library.ready = git_libgit2_version(&v.major, &v.minor, &v.revision) == 0;
    library.quirks = quirks_of(v);
    return library;
  }();
  return kLibrary;
}

// git merge-file refuses inputs larger than this (as binary), and libgit2
// too; a NUL byte makes either call an input binary (within the first
// 8,000 bytes), and libgit2 then writes no merge at all.
constexpr size_t kMaxInputSize = size_t{1024} * 1024 * 1023;

bool git_takes(std::string_view text) {
  return text.size() <= kMaxInputSize && text.find('\0') == std::string_view::npos;
}

uint32_t style_flag(ConflictStyle style) {
  switch (style) {
    case ConflictStyle::merge:
      return GIT_MERGE_FILE_STYLE_MERGE;
    case ConflictStyle::diff3:
      return GIT_MERGE_FILE_STYLE_DIFF3;
    case ConflictStyle::zdiff3:
      return GIT_MERGE_FILE_STYLE_ZDIFF3;
  }
  return GIT_MERGE_FILE_STYLE_MERGE;
}

git_merge_file_input input(std::string_view text) {
  git_merge_file_input in = GIT_MERGE_FILE_INPUT_INIT;
  in.ptr = text.data();
  in.size = text.size();
  return in;
}

struct ResultFree {
  void operator()(git_merge_file_result* result) const { git_merge_file_result_free(result); }
};

}  // namespace

void prepare_text_merge() { library(); }

void load_text_merge_ahead() {}  // linked in: loaded with the module

TextMerge merge_text(std::string_view base, std::string_view current, std::string_view incoming,
                     const TextMergeOptions& options, std::string& merged) {
  const Library& lib = library();
  if (!lib.ready) return TextMerge::declined;
  if (!git_takes(base) || !git_takes(current) || !git_takes(incoming)) return TextMerge::declined;
  if (lib.quirks.empty_side_differs && (base.empty() || current.empty() || incoming.empty()))
    return TextMerge::declined;
  if (options.marker_size < 1 || options.marker_size > USHRT_MAX) return TextMerge::declined;
  // The labels as C strings: one with a NUL byte would be cut short.
  const std::string labels[3] = {std::string(options.current_label),
                                 std::string(options.base_label),
                                 std::string(options.incoming_label)};
  for (const std::string& label : labels)
    if (label.find('\0') != std::string::npos) return TextMerge::declined;

  git_merge_file_options opts = GIT_MERGE_FILE_OPTIONS_INIT;
  opts.our_label = labels[0].c_str();
  opts.ancestor_label = labels[1].c_str();
  opts.their_label = labels[2].c_str();
  opts.favor = GIT_MERGE_FILE_FAVOR_NORMAL;
  opts.flags = GIT_MERGE_FILE_SIMPLIFY_ALNUM | style_flag(options.style);
  opts.marker_size = static_cast<unsigned short>(options.marker_size);

  const git_merge_file_input inputs[3] = {input(base), input(current), input(incoming)};
  git_merge_file_result result{};
  // A failed call has freed its result itself.
  if (git_merge_file(&result, &inputs[0], &inputs[1], &inputs[2], &opts) < 0)
    return TextMerge::declined;
  std::unique_ptr<git_merge_file_result, ResultFree> owned(&result);
  if (!result.ptr && result.len > 0) return TextMerge::declined;
  merged.assign(result.ptr ? result.ptr : "", result.len);
  return result.automergeable ? TextMerge::clean : TextMerge::conflicts;
}

std::string libgit2_version() {
  const Version& v = library().version;
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.revision);
}

}  // namespace merge
