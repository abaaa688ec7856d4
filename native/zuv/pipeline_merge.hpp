// The pipeline merge of three notebooks, for the merge driver.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv::cli {

struct PipelineMergeInputs {
  std::string base_path;
  bool base_empty = false;  // the base is the empty notebook (both sides added the file)
  std::string current_path;
  std::string incoming_path;
  std::string label_path;  // the notebook's path in the repository, for conflict labels
};

// The merged document, by the rules of `merge_files`; an empty Ref with the
// Python exception the merge raised.  No input file is changed.
Ref merge_pipeline(const PipelineMergeInputs& inputs);

}  // namespace zuv::cli
