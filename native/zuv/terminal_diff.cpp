// `zuv diff` and `zuv diff-driver`: the notebook-aware diff in a terminal.
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/html_diff.hpp"
#include "zuv/terminal.hpp"

namespace zuv::cli {

int run_diff(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(args, {{"--color", true}, {"--html", true}}, error);
  if (!parsed) return usage_error("diff", error);
  if (parsed->positional.size() != 2) return usage_error("diff", "expected OLD and NEW");
  ColorMode mode = ColorMode::automatic;
  if (auto colour = parsed->value("--color"); colour && !parse_color_mode(*colour, mode))
    return usage_error("diff", "--color must be auto, always or never");
  if (auto html = parsed->value("--html"))
    return write_html_diff({*html, parsed->positional[0], parsed->positional[1],
                            parsed->positional[0], parsed->positional[1]});
  return failure("diff", "not built yet");
}

int run_diff_driver(const std::vector<std::string>& args) {
  if (args.size() != 7) return usage_error("diff-driver", "expected git's 7 arguments");
  return failure("diff-driver", "not built yet");
}

}  // namespace zuv::cli
