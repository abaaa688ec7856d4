#include "zuv/text/line_diff.hpp"

namespace zuv::cli {

void append_range(std::string& out, std::size_t start, std::size_t count) {
  out += std::to_string(start);
  if (count != 1) {
    out += ',';
    out += std::to_string(count);
  }
}

bool unified_diff(const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out, int context) {
  const std::vector<std::string_view> old_views(before.begin(), before.end());
  const std::vector<std::string_view> new_views(after.begin(), after.end());
  unified_diff(
      old_views, new_views,
      [&](std::string_view head, std::string_view line) {
        std::string& text = out.emplace_back(head);
        text += line;
      },
      context);
  return true;
}

}  // namespace zuv::cli
