// The merge's hooks for a native caller (the `zuv merge-driver` command):
// the same merged document as `merge_files`, without the module globals and
// without importing what a merge does not need.  Records are plain `Cell`s
// (the side is kept by the merge), cells are compared by the native
// difference engine with private symbols (the records are never shown), ids
// are made natively, and GitPython is imported only for the first source
// merge.  Nothing is logged.
#pragma once

#include "merge/hooks.hpp"

namespace merge {

class NativeHooks final : public Hooks {
 public:
  MERGE_HOOKS_OVERRIDES;
  bool comparison_shortcut(const zuv::json_diff::Symbols*& symbols) override;
  bool stock_records() const override { return true; }

 private:
  Ref cell_class_, json_;
  Ref source_globals_, git_;  // set up by the first source merge
};

}  // namespace merge
