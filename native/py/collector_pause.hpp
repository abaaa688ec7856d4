// The interpreter's cyclic garbage collector paused while the holder lives;
// its earlier state comes back on every way out.  For work that allocates
// millions of objects that form no cycles (parsed documents, records) and
// frees them only at its end: each collection it triggers would walk them
// all and find nothing to free.
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
