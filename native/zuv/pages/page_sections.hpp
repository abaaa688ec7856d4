// One page holding several notebooks' pages, a section each (`zuv diff
// --html` across revisions when more than one notebook changed).
#pragma once

#include <string>
#include <vector>

namespace zuv::page {

struct Section {
  std::string heading;  // the notebook's path
  std::string html;     // its whole page, rendered with the same nonce
};

// Each section's page runs in a frame of its own (its script, ids and
// zoom stay its own); the frames' documents inherit this page's content
// security policy, so every page must be rendered with `nonce`.
std::string render_sections(const std::string& title, const std::vector<Section>& sections,
                            const std::string& nonce);

}  // namespace zuv::page
