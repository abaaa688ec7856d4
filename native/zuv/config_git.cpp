#include "zuv/commands.hpp"

namespace zuv::cli {

int run_config_git(const std::vector<std::string>&) {
  return failure("config-git", "not built yet");
}

}  // namespace zuv::cli
