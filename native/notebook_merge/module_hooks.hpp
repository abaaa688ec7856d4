// The merge's hooks as `merge_files` has them: everything replaceable is
// looked up in the module's globals (`MergeCell`, `_cell_changed`,
// `_merge_source`, `json`, `git`, `uuid`, `open`) as Python code would.
#pragma once

#include "merge/hooks.hpp"
#include "notebook_merge/merge.hpp"

namespace merge {

class ModuleHooks final : public Hooks {
 public:
  // `state` is that of the module whose `globals` these are.
  ModuleHooks(PyObject* globals, const ModuleState& state) : globals_(globals), state_(state) {}

  MERGE_HOOKS_OVERRIDES;
  bool comparison_shortcut(const zuv::json_diff::Symbols*& symbols) override;
  bool stock_records() const override { return stock_; }
  bool begin_source_merges() override;

 private:
  PyObject* globals_;
  const ModuleState& state_;
  Ref merge_cell_, cell_changed_, merge_source_, git_;
  bool stock_ = false;     // MergeCell, _cell_changed and _merge_source as the module made them
  bool shortcut_ = false;  // ... and the comparison's record is neither replaced nor logged
};

}  // namespace merge
