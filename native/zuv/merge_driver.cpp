#include "zuv/commands.hpp"

namespace zuv::cli {

int run_merge_driver(const std::vector<std::string>&) {
  return failure("merge-driver", "not built yet");
}

}  // namespace zuv::cli
