// The merge page's account of one open conflict: the versions a person
// compares to decide it, and the `zuv resolve` command lines that keep
// either side.  Plain C++ over the conflict scan's facts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zuv/conflicts/conflict_scan.hpp"
#include "zuv/pages/merge_panels.hpp"

namespace zuv::conflicts {

// `word` quoted for a POSIX shell: as it is when it holds only characters
// no shell reads specially, else in single quotes.
std::string shell_word(std::string_view word);

// The command lines that resolve `conflict` in the file `path` keeping
// either side, as `zuv resolve` selects it; none for a conflict it leaves to
// a person, or one whose command line the page could not show exactly.
std::vector<page::ResolveChoice> resolve_choices(const Conflict& conflict,
                                                 const NotebookFacts& merged,
                                                 const std::string& path);

// The panel of `conflict`: what each side did, the versions side by side,
// the base from the index stages where they hold it, and the choices.
page::ConflictPanel conflict_panel(const Conflict& conflict, const NotebookFacts& merged,
                                   const Stages* stages, const std::string& path);

}  // namespace zuv::conflicts
