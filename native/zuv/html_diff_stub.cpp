// Placeholder until the HTML page is built: says so and fails.
#include <cstdio>

#include "zuv/commands.hpp"
#include "zuv/html_diff.hpp"

namespace zuv::cli {

int write_html_diff(const HtmlDiffRequest&) {
  std::fputs("zuv diff: error: --html is not built yet\n", stderr);
  return status::failure;
}

}  // namespace zuv::cli
