#include "zuv/commands.hpp"

namespace zuv::cli {

int run_textconv(const std::vector<std::string>&) { return failure("textconv", "not built yet"); }

}  // namespace zuv::cli
