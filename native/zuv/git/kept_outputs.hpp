// The notice of outputs a merge kept from the current side although the
// incoming side changed them: outputs do not count as a change, so a re-run's
// results would otherwise vanish without a word.
#pragma once

#include <string>
#include <vector>

#include "py/ref.hpp"

namespace zuv::cli {

class KeptOutputs {
 public:
  // Before the merge (it changes its inputs in place): the cells whose
  // outputs incoming changed from base to something current does not hold.
  // A notebook without a cell list only means no notices; false only on a
  // failure such as MemoryError (values nested too deep count as changed).
  bool read(PyObject* base, PyObject* current, PyObject* incoming);

  // After: one line on standard error per such cell whose merged version
  // holds the current outputs and no merged version the incoming ones.
  // False only on a failure such as MemoryError.
  bool report(PyObject* merged, const std::string& label) const;

 private:
  struct Cell {
    Ref id;
    Ref name;
    Ref current_outputs;
    Ref incoming_outputs;
  };
  std::vector<Cell> cells_;
};

}  // namespace zuv::cli
