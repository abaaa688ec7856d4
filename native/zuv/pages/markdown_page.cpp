#include "zuv/pages/markdown_page.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "zuv/pages/html_text.hpp"
#include "zuv/text/line_diff.hpp"
#include "zuv/text/line_edits.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::markdown {

namespace {

using page::CellEntry;
using page::EdgeStatus;
using page::Status;

// A pipeline this small is drawn whole; a larger one only around its changes.
constexpr std::size_t kSmallPipeline = 20;
// What one chart may hold: Mermaid refuses more than 500 edges by default.
// Mermaid also refuses a chart of more than 50,000 characters: 100 labels
// of punctuation alone, each character as "#NNN;", stay well below it.
constexpr std::size_t kMaxNodes = 100;
constexpr std::size_t kMaxEdges = 400;
constexpr std::size_t kLabelChars = 40, kOldNameChars = 20;
constexpr std::size_t kValueChars = 80;

// The chart's node classes, by what happened to the cell.
struct NodeStyle {
  const char* css_class;
  const char* mark;  // before the label, so the chart reads without colour
  const char* definition;
};

constexpr std::array<NodeStyle, 6> kNodeStyles{{
    {"unchanged", "", "fill:#ffffff,stroke:#8c959f,color:#59636e"},
    {"added", "+ ", "fill:#dafbe1,stroke:#1a7f37,color:#1f2328"},
    {"removed", "\xE2\x88\x92 ", "fill:#ffebe9,stroke:#cf222e,color:#1f2328,stroke-dasharray:4 3"},
    {"modified", "~ ", "fill:#fff8c5,stroke:#9a6700,color:#1f2328"},
    {"missing", "? ", "fill:#ffffff,stroke:#59636e,color:#59636e,stroke-dasharray:2 2"},
    {"rest", "", "fill:#f6f8fa,stroke:#d0d7de,color:#59636e"},
}};
constexpr const char* kRenamedClass = "renamed";
constexpr const char* kRenamedStyle = "stroke:#0969da,stroke-width:3px";

const NodeStyle& node_style(const CellEntry& cell) {
  switch (cell.status) {
    case Status::added:
      return kNodeStyles[1];
    case Status::removed:
      return kNodeStyles[2];
    case Status::missing:
      return kNodeStyles[4];
    case Status::modified:
      return kNodeStyles[3];
    case Status::unchanged:
      // Comments or header colour changed: modified to the reader.
      return cell.changes.empty() ? kNodeStyles[0] : kNodeStyles[3];
  }
  return kNodeStyles[0];
}

const NodeStyle& rest_style() { return kNodeStyles[5]; }

// Edge arrows by status, and the colour of those that changed.
const char* arrow(EdgeStatus status) {
  switch (status) {
    case EdgeStatus::added:
      return " ==> ";
    case EdgeStatus::removed:
    case EdgeStatus::lost:
      return " -.-> ";
    case EdgeStatus::unchanged:
      break;
  }
  return " --> ";
}

const char* edge_colour(EdgeStatus status) {
  switch (status) {
    case EdgeStatus::added:
      return "stroke:#1a7f37";
    case EdgeStatus::removed:
    case EdgeStatus::lost:
      return "stroke:#cf222e";
    case EdgeStatus::unchanged:
      break;
  }
  return nullptr;
}

bool is_ascii_punctuation(unsigned char c) {
  return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
         (c >= '{' && c <= '~');
}

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

std::string parent_list(const std::vector<page::ParentRef>& refs) {
  std::vector<std::string> shown;
  shown.reserve(refs.size());
  for (const page::ParentRef& ref : refs)
    shown.push_back(inline_text(ref.name.empty() ? ref.id : ref.name));
  return join(shown, ", ");
}

std::string chart_label(const CellEntry& cell) {
  std::string text = html::shortened(page::label(cell), kLabelChars);
  if (cell.renamed)
    text += " (was " +
            html::shortened(cell.old_name.empty() ? std::string("unnamed") : cell.old_name,
                            kOldNameChars) +
            ")";
  return node_style(cell).mark + text;
}

// The flowchart of the charted cells and the edges between them.
Block chart(const page::Page& page) {
  const std::vector<std::size_t> shown = charted_cells(page, kMaxNodes);
  std::vector<std::ptrdiff_t> node_of(page.cells.size(), -1);
  for (std::size_t k = 0; k < shown.size(); ++k)
    node_of[shown[k]] = static_cast<std::ptrdiff_t>(shown[k]);
  std::vector<std::string> lines{"flowchart TD\n"};
  // Node ids come from the cells' places, never from notebook text.
  auto node_id = [](std::size_t v) { return "n" + std::to_string(v); };
  for (std::size_t v : shown)
    lines.push_back("  " + node_id(v) + "[\"" + mermaid_label(chart_label(page.cells[v])) +
                    "\"]\n");
  const std::size_t hidden = page.cells.size() - shown.size();
  if (hidden > 0) {
    std::size_t hidden_changed = 0;
    for (std::size_t v = 0; v < page.cells.size(); ++v)
      if (node_of[v] < 0 && changed(page.cells[v])) ++hidden_changed;
    std::string text = "\xE2\x80\xA6 " + plural(hidden, "more cell", "more cells") + " not shown";
    if (hidden_changed > 0) text += " (" + std::to_string(hidden_changed) + " changed)";
    lines.push_back("  rest[\"" + mermaid_label(text) + "\"]\n");
  }
  std::vector<std::string> coloured[2];  // link indexes: added, removed
  std::size_t drawn = 0, left_out = 0;
  for (const page::EdgeEntry& edge : page.edges) {
    if (node_of[edge.parent] < 0 || node_of[edge.child] < 0) continue;
    if (drawn == kMaxEdges) {
      ++left_out;
      continue;
    }
    lines.push_back("  " + node_id(edge.parent) + arrow(edge.status) + node_id(edge.child) + "\n");
    if (edge_colour(edge.status))
      coloured[edge.status == EdgeStatus::added ? 0 : 1].push_back(std::to_string(drawn));
    ++drawn;
  }
  for (const NodeStyle& s : kNodeStyles)
    lines.push_back(std::string("  classDef ") + s.css_class + " " + s.definition + "\n");
  lines.push_back(std::string("  classDef ") + kRenamedClass + " " + kRenamedStyle + "\n");
  // One `class` line per style, naming its nodes.
  for (const NodeStyle& s : kNodeStyles) {
    std::vector<std::string> ids;
    for (std::size_t v : shown)
      if (&node_style(page.cells[v]) == &s) ids.push_back(node_id(v));
    if (&s == &rest_style() && hidden > 0) ids.push_back("rest");
    if (!ids.empty()) lines.push_back("  class " + join(ids, ",") + " " + s.css_class + "\n");
  }
  std::vector<std::string> renamed;
  for (std::size_t v : shown)
    if (page.cells[v].renamed) renamed.push_back(node_id(v));
  if (!renamed.empty())
    lines.push_back("  class " + join(renamed, ",") + " " + kRenamedClass + "\n");
  if (!coloured[0].empty())
    lines.push_back("  linkStyle " + join(coloured[0], ",") + " " + edge_colour(EdgeStatus::added) +
                    ",stroke-width:2.5px\n");
  if (!coloured[1].empty())
    lines.push_back("  linkStyle " + join(coloured[1], ",") + " " +
                    edge_colour(EdgeStatus::removed) + "\n");
  const std::string fence = fence_for(lines);
  Block block{fence + "mermaid\n", std::move(lines), fence + "\n", false};
  block.tail +=
      "\nGreen: added \xC2\xB7 red: removed \xC2\xB7 yellow: modified \xC2\xB7 "
      "blue outline: renamed \xC2\xB7 thick arrow: edge added \xC2\xB7 dotted arrow: "
      "edge removed";
  if (left_out > 0) block.tail += " \xC2\xB7 " + plural(left_out, "edge", "edges") + " not drawn";
  block.tail += "\n";
  return block;
}

std::string value_text(const std::string& value, const std::string& type) {
  std::string out = inline_text(html::shortened(value, kValueChars));
  if (!type.empty()) out += " (" + inline_text(type) + ")";
  return out;
}

Block parameter_table(const page::Page& page) {
  std::string table;
  std::size_t unchanged = 0;
  for (const page::ParameterEntry& p : page.parameters) {
    const char* word = p.status == Status::added      ? "added"
                       : p.status == Status::removed  ? "removed"
                       : p.status == Status::modified ? "modified"
                                                      : nullptr;
    if (!word) {
      ++unchanged;
      continue;
    }
    table += "| " + inline_text(p.name) + " | " + word + " | ";
    if (p.status != Status::added) table += value_text(p.old_value, p.old_type);
    table += " | ";
    if (p.status != Status::removed) table += value_text(p.new_value, p.new_type);
    table += " |\n";
  }
  if (table.empty()) return {};
  std::string head = "**Parameters**";
  if (unchanged > 0) head += " (" + plural(unchanged, "other", "others") + " unchanged)";
  head += "\n\n| parameter | change | before | after |\n| --- | --- | --- | --- |\n";
  return {head + table, {}, {}, false};
}

// Changed beyond a new name: source, outputs, parents, comments or colour.
bool modified_beyond_name(const CellEntry& cell) {
  return cell.status == Status::modified || !cell.changes.empty() || !cell.gained.empty() ||
         !cell.lost.empty();
}

// The heading and notes of one changed cell, and its source diff.
void add_cell(const CellEntry& cell, std::vector<Block>& out) {
  const char* verb = cell.status == Status::added     ? "added"
                     : cell.status == Status::removed ? "removed"
                     : modified_beyond_name(cell)     ? "modified"
                                                      : "renamed";
  std::string head = std::string("**") + verb + " cell** " + inline_text(page::label(cell)) +
                     " (id " + inline_text(cell.id) + ")\n";
  std::vector<std::string> notes;
  if (cell.renamed)
    notes.push_back("renamed from " + (cell.old_name.empty() ? std::string("(unnamed)")
                                                             : inline_text(cell.old_name)));
  if (!cell.gained.empty()) notes.push_back("parents gained: " + parent_list(cell.gained));
  if (!cell.lost.empty()) notes.push_back("parents lost: " + parent_list(cell.lost));
  for (const std::string& change : cell.changes) notes.push_back(inline_text(change));
  if (!notes.empty()) {
    head += "\n";
    for (const std::string& note : notes) head += "- " + note + "\n";
  }
  out.push_back({head, {}, {}, false});
  std::vector<std::string> before, after, diff;
  for (const std::string& line : cell.old_source) before.emplace_back(text::without_line_end(line));
  for (const std::string& line : cell.new_source) after.emplace_back(text::without_line_end(line));
  cli::unified_diff(before, after, diff);
  if (diff.empty()) return;
  for (std::string& line : diff) line = cli::escape_control(line) + "\n";
  const std::string fence = fence_for(diff);
  out.push_back({fence + "diff\n", std::move(diff), fence + "\n", true});
}

std::string summary(const page::Page& page) {
  std::size_t added = 0, removed = 0, modified = 0, renamed = 0, parameters = 0;
  for (const CellEntry& cell : page.cells) {
    if (cell.status == Status::missing || !changed(cell)) continue;
    if (cell.status == Status::added)
      ++added;
    else if (cell.status == Status::removed)
      ++removed;
    else if (modified_beyond_name(cell))
      ++modified;
    if (cell.renamed) ++renamed;
  }
  for (const page::ParameterEntry& p : page.parameters)
    if (p.status != Status::unchanged) ++parameters;
  std::vector<std::string> parts;
  if (added) parts.push_back(plural(added, "cell added", "cells added"));
  if (removed) parts.push_back(plural(removed, "cell removed", "cells removed"));
  if (modified) parts.push_back(plural(modified, "cell modified", "cells modified"));
  if (renamed) parts.push_back(plural(renamed, "cell renamed", "cells renamed"));
  if (parameters) parts.push_back(plural(parameters, "parameter changed", "parameters changed"));
  if (parts.empty()) return "No change to the pipeline's cells or parameters.";
  return join(parts, ", ") + ".";
}

}  // namespace

bool changed(const CellEntry& cell) {
  return cell.status == Status::added || cell.status == Status::removed ||
         cell.status == Status::modified || cell.renamed || !cell.gained.empty() ||
         !cell.lost.empty() || !cell.changes.empty();
}

std::vector<std::size_t> charted_cells(const page::Page& page, std::size_t max_nodes) {
  const std::size_t n = page.cells.size();
  std::vector<std::size_t> shown;
  if (n <= std::min(kSmallPipeline, max_nodes)) {
    for (std::size_t v = 0; v < n; ++v) shown.push_back(v);
    return shown;
  }
  // The changes: changed cells, missing parents and both ends of a changed edge.
  std::vector<bool> core(n, false);
  for (std::size_t v = 0; v < n; ++v)
    core[v] = changed(page.cells[v]) || page.cells[v].status == Status::missing;
  for (const page::EdgeEntry& edge : page.edges)
    if (edge.status != EdgeStatus::unchanged) core[edge.parent] = core[edge.child] = true;
  std::vector<bool> neighbour(n, false);
  for (const page::EdgeEntry& edge : page.edges) {
    if (core[edge.parent]) neighbour[edge.child] = true;
    if (core[edge.child]) neighbour[edge.parent] = true;
  }
  std::vector<bool> taken(n, false);
  std::size_t count = 0;
  for (const std::vector<bool>* wanted : {&core, &neighbour})
    for (std::size_t v = 0; v < n && count < max_nodes; ++v)
      if ((*wanted)[v] && !taken[v]) taken[v] = true, ++count;
  for (std::size_t v = 0; v < n; ++v)
    if (taken[v]) shown.push_back(v);
  return shown;
}

std::string inline_text(const std::string& text) {
  const std::string visible = cli::escape_line(text);
  std::string out;
  out.reserve(visible.size() + visible.size() / 4);
  for (char c : visible) {
    if (is_ascii_punctuation(static_cast<unsigned char>(c))) out += '\\';
    out += c;
  }
  return out;
}

std::string fence_for(const std::vector<std::string>& lines) {
  std::size_t longest = 0;
  for (const std::string& line : lines) {
    std::size_t run = 0;
    for (char c : line) {
      run = c == '`' ? run + 1 : 0;
      longest = std::max(longest, run);
    }
  }
  return std::string(std::max<std::size_t>(3, longest + 1), '`');
}

std::string mermaid_label(const std::string& text) {
  const std::string visible = cli::escape_line(text);
  std::string out;
  for (char c : visible) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || byte == ' ' || (byte >= '0' && byte <= '9') ||
        (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'))
      out += c;
    else
      out += "#" + std::to_string(byte) + ";";
  }
  return out;
}

std::string truncation_line(std::size_t full_bytes, std::size_t max_bytes) {
  return "*Truncated: the whole diff is " + std::to_string(full_bytes) +
         " bytes, over the limit of " + std::to_string(max_bytes) +
         " (`zuv diff --max-bytes`); the rest is left out.*\n";
}

void Document::add_diff(const std::string& heading, const std::string& subtitle,
                        const page::Page& page) {
  blocks_.push_back({"### " + inline_text(heading) + "\n\n" + inline_text(subtitle) + "\n\n" +
                         summary(page) + "\n",
                     {},
                     {},
                     false});
  if (!page.cells.empty()) blocks_.push_back(chart(page));
  if (Block table = parameter_table(page); !table.head.empty()) blocks_.push_back(std::move(table));
  for (const CellEntry& cell : page.cells)
    if (cell.status != Status::missing && changed(cell)) add_cell(cell, blocks_);
}

void Document::add_note(const std::string& heading, const std::string& note) {
  blocks_.push_back(
      {"### " + inline_text(heading) + "\n\n" + inline_text(note) + "\n", {}, {}, false});
}

std::string Document::render(std::size_t max_bytes) const {
  std::string full;
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    if (i > 0) full += '\n';
    full += blocks_[i].head;
    for (const std::string& line : blocks_[i].lines) full += line;
    full += blocks_[i].tail;
  }
  if (max_bytes == 0 || full.size() <= max_bytes) return full;
  const std::string last = truncation_line(full.size(), max_bytes);
  const std::size_t budget = max_bytes > last.size() + 1 ? max_bytes - last.size() - 1 : 0;
  std::string out;
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    const Block& block = blocks_[i];
    const std::size_t separator = i > 0 ? 1 : 0;
    std::size_t size = separator + block.head.size() + block.tail.size();
    for (const std::string& line : block.lines) size += line.size();
    if (out.size() + size <= budget) {
      if (separator) out += '\n';
      out += block.head;
      for (const std::string& line : block.lines) out += line;
      out += block.tail;
      continue;
    }
    // A diff block keeps the lines that fit, and its closing fence.
    std::size_t room = out.size() + separator + block.head.size() + block.tail.size();
    if (block.cuttable && room <= budget) {
      if (separator) out += '\n';
      out += block.head;
      for (const std::string& line : block.lines) {
        if (room + line.size() > budget) break;
        room += line.size();
        out += line;
      }
      out += block.tail;
    }
    break;
  }
  if (!out.empty()) out += '\n';
  return out + last;
}

}  // namespace zuv::markdown
