// The merge's hooks for a native caller (the `zuv merge-driver` command):
// the same merged document as `merge_files`, without the module globals and
// without importing what a merge does not need.  Records are plain `Cell`s
// (the side is kept by the merge), cells are compared by the native
// difference engine with private symbols (the records are never shown), ids
// are made natively, and nothing is logged.
//
// Sources are merged by the in-process merge the settings name (the `zuv`
// command links merge/native_source_merge.hpp, libgit2), with the marker
// size and the conflict style git would use; a cell it declines, or every
// cell without one, goes through `git merge-file` as `_merge_source` runs
// it, with the same marker size (GitPython is then imported on first use).
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "jsondiff/json_diff.hpp"
#include "merge/hooks.hpp"
#include "merge/native_source_merge.hpp"
#include "merge/source_merge.hpp"

namespace merge {

using InProcessMerge = decltype(&merge_source_in_process);

// How the source merges run.
struct SourceMergeSettings {
  InProcessMerge in_process = nullptr;  // null: `git merge-file` for every cell
  // The conflict style git would use; empty for one git rejects (then git
  // runs, and reports it).
  std::optional<ConflictStyle> style = ConflictStyle::merge;
};

class NativeHooks final : public Hooks {
 public:
  // `read_settings` is called once, before the first source merge; without
  // it every cell goes to `git merge-file`.
  explicit NativeHooks(int marker_size = kDefaultMarkerSize,
                       std::function<SourceMergeSettings()> read_settings = {})
      : marker_size_(marker_size), read_settings_(std::move(read_settings)) {}

  MERGE_HOOKS_OVERRIDES;
  bool comparison_shortcut(const zuv::json_diff::Symbols*& symbols) override;
  bool stock_records() const override { return true; }

 private:
  const zuv::json_diff::Symbols* private_symbols();
  PyObject* json();  // imported on first use; null with the exception set
  Ref merge_by_process(PyObject* current, PyObject* base, PyObject* incoming,
                       PyObject* current_label, PyObject* incoming_label, Py_ssize_t& opened);

  Ref cell_class_, json_;
  int marker_size_;
  std::function<SourceMergeSettings()> read_settings_;
  std::optional<SourceMergeSettings> settings_;  // read by the first source merge
  Ref source_globals_, git_;                     // set up by the first process merge
  zuv::json_diff::HeldSymbols symbols_;          // made by the first comparison
};

}  // namespace merge
