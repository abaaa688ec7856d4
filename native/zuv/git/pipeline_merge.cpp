#include "zuv/git/pipeline_merge.hpp"

#include <cstdio>
#include <optional>
#include <string_view>

#include "merge/native_hooks.hpp"
#include "merge/text_merge.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

// The values `git config` gives for the keys the source merges follow.
struct ConfigValues {
  std::optional<std::string> conflict_style, source_merge;
  bool style_without_value = false;
};

// Parses `git config --null --get-regexp` output: "key\nvalue\0" per entry,
// "key\0" for a key without a value; the last entry of a key wins, as git
// reads it.
ConfigValues parse_config(std::string_view out) {
  ConfigValues values;
  while (!out.empty()) {
    size_t end = out.find('\0');
    std::string_view entry = out.substr(0, end);
    out.remove_prefix(end == std::string_view::npos ? out.size() : end + 1);
    size_t newline = entry.find('\n');
    std::string_view key = entry.substr(0, newline);
    std::optional<std::string> value;
    if (newline != std::string_view::npos) value = std::string(entry.substr(newline + 1));
    if (key == "merge.conflictstyle") {
      values.style_without_value = !value;
      values.conflict_style = value;
    } else if (key == "zuv.sourcemerge") {
      values.source_merge = value ? *value : "true";
    }
  }
  return values;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

}  // namespace

// Whatever cannot be read leaves every cell to `git merge-file` itself, which
// then behaves as it always did.

// Setting libgit2 up (loading it, where the driver has not loaded it
// ahead, and with the system's TLS library parsing every CA certificate,
// most of a small merge's own work) runs on a helper thread while git finds
// the repository: both are needed once a cell's sources are merged.  It
// never happens before `zuv.sourceMerge` is known not to be "process".
merge::SourceMergeSettings read_source_merge_settings() {
  merge::SourceMergeSettings settings;
  settings.in_process = merge::merge_source_in_process;
  ProcessResult found;
  std::string error;
  if (!run_git({"config", "--null", "--get-regexp", "^(merge\\.conflictstyle|zuv\\.sourcemerge)$"},
               found, error, true) ||
      (found.status != 0 && found.status != 1)) {
    settings.in_process = nullptr;
    return settings;
  }
  ConfigValues values = parse_config(found.out);
  if (values.source_merge && !equals_ignoring_case(*values.source_merge, "auto")) {
    settings.in_process = nullptr;
    if (!equals_ignoring_case(*values.source_merge, "process"))
      std::fprintf(stderr,
                   "zuv merge-driver: zuv.sourceMerge is '%s' (auto or process); cell sources "
                   "are merged by git merge-file\n",
                   escape_line(*values.source_merge).c_str());
    return settings;
  }
  // Without a conflict style git's default holds: the first merge loads libgit2.
  if (!values.conflict_style && !values.style_without_value) return settings;
  merge::TextMergeWarmUp warm_up(merge::prepare_text_merge);
  ProcessResult repository;
  if (!run_git({"rev-parse", "--git-dir"}, repository, error, true)) {
    settings.in_process = nullptr;
    return settings;
  }
  if (repository.status != 0) return settings;  // no repository: git's default style
  settings.style =
      values.conflict_style ? merge::conflict_style_named(*values.conflict_style) : std::nullopt;
  return settings;
}

bool merge_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                    const std::string& label_path, int marker_size, merge::MergeResult& result) {
  merge::NativeHooks hooks(marker_size, read_source_merge_settings);
  Ref label = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      label_path.data(), static_cast<Py_ssize_t>(label_path.size())));
  return label && hooks.prepare() &&
         merge::merge_documents(base, current, incoming, label.get(), hooks, result);
}

}  // namespace zuv::cli
