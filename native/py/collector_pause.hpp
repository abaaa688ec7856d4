// The interpreter's cyclic garbage collector paused for the length of one
// merge or diff.  Both build a few new containers per cell and free them only
// at their end, so collections triggered meanwhile find nothing to free, yet
// each walks every live container, the notebooks' included: on notebooks of
// thousands of cells those passes cost more than the work itself.  The
// collector's earlier state comes back on every way out, and pauses nest;
// cycles that replaced hooks might make are collected once it runs again.
#pragma once

#include <Python.h>

namespace zuv {

class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace zuv
