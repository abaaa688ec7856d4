// What the merge page asks a person to decide: for each open conflict, the
// versions to compare (side by side, their differences marked, the base
// beside them where it is known) and the `zuv resolve` command lines that
// keep either side, each with a copy button.  Pure C++: HTML only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuv::page {

// One version of a cell's source, as a column of the comparison.
struct SourceColumn {
  std::string label;
  std::vector<std::string> lines;  // each with its line end
};

// A command line that resolves the conflict one way.
struct ResolveChoice {
  std::string label;    // "keep the current copy"
  std::string command;  // ready for a POSIX shell
};

struct ConflictPanel {
  std::string heading;             // the conflict, one line
  std::vector<std::string> facts;  // what each side did, one line each
  // Compared side by side, differences marked: both present or neither.
  std::optional<SourceColumn> left, right;
  // A version shown on its own: the base, below the comparison.
  std::optional<SourceColumn> alone;
  std::string no_base;  // why there is no base, when that matters
  std::vector<ResolveChoice> choices;
  std::string by_hand;  // when no command resolves it: what to do instead
};

// The panel as HTML.
void append_panel(std::string& out, const ConflictPanel& panel);

// The command lines with their copy buttons.
void append_choices(std::string& out, const std::vector<ResolveChoice>& choices);

// The panels' style rules and the copy buttons' script (run under the
// page's nonce; it needs nothing else).
extern const std::string_view kPanelStyle;
extern const std::string_view kPanelScript;

}  // namespace zuv::page
