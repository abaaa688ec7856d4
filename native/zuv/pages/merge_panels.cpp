#include "zuv/pages/merge_panels.hpp"

#include <algorithm>

#include "zuv/pages/html_text.hpp"
#include "zuv/text/line_edits.hpp"

namespace zuv::page {

namespace {

using html::append_escaped;

// One half of a side-by-side row: a line number and its text, or nothing.
void append_half(std::string& out, const std::vector<std::string>* lines, std::size_t line,
                 std::size_t number, const char* css) {
  if (!lines) {
    out += "<td class=\"ln\"></td><td class=\"t none\"></td>";
    return;
  }
  out += "<td class=\"ln\">";
  out += std::to_string(number);
  out += "</td><td class=\"t";
  if (*css) {
    out += ' ';
    out += css;
  }
  out += "\">";
  append_escaped(out, text::without_line_end((*lines)[line]));
  out += "</td>";
}

// The lines of both columns, aligned by their line difference: a run of
// lines only the left has sits beside the run only the right has.
void append_side_by_side(std::string& out, const SourceColumn& left, const SourceColumn& right) {
  using text::LineKind;
  const auto rows = text::diff_lines(left.lines, right.lines);
  out +=
      "<table class=\"sbs\"><colgroup><col class=\"n\"><col><col class=\"n\"><col></colgroup>"
      "<tr><th colspan=\"2\">";
  append_escaped(out, left.label);
  out += "</th><th colspan=\"2\">";
  append_escaped(out, right.label);
  out += "</th></tr>\n";
  std::vector<const text::DiffRow*> only_left, only_right;
  auto flush = [&] {
    const std::size_t n = std::max(only_left.size(), only_right.size());
    for (std::size_t k = 0; k < n; ++k) {
      out += "<tr>";
      if (k < only_left.size())
        append_half(out, &left.lines, only_left[k]->line, only_left[k]->old_number, "d");
      else
        append_half(out, nullptr, 0, 0, "");
      if (k < only_right.size())
        append_half(out, &right.lines, only_right[k]->line, only_right[k]->new_number, "a");
      else
        append_half(out, nullptr, 0, 0, "");
      out += "</tr>\n";
    }
    only_left.clear();
    only_right.clear();
  };
  for (const text::DiffRow& row : rows) {
    if (row.kind == LineKind::removed) {
      only_left.push_back(&row);
      continue;
    }
    if (row.kind == LineKind::added) {
      only_right.push_back(&row);
      continue;
    }
    flush();
    out += "<tr>";
    append_half(out, &left.lines, row.line, row.old_number, "");
    append_half(out, &right.lines, row.new_number - 1, row.new_number, "");
    out += "</tr>\n";
  }
  flush();
  if (rows.empty())
    out += "<tr><td></td><td class=\"t none\">(empty)</td><td></td><td></td></tr>\n";
  out += "</table>\n";
}

void append_listing(std::string& out, const SourceColumn& column) {
  out += "<details open class=\"alone\"><summary>";
  append_escaped(out, column.label);
  out += "</summary><table class=\"src\">\n";
  for (std::size_t i = 0; i < column.lines.size(); ++i) {
    out += "<tr><td class=\"ln\">";
    out += std::to_string(i + 1);
    out += "</td><td class=\"t\">";
    append_escaped(out, text::without_line_end(column.lines[i]));
    out += "</td></tr>\n";
  }
  if (column.lines.empty()) out += "<tr><td></td><td class=\"t none\">(empty)</td></tr>\n";
  out += "</table></details>\n";
}

}  // namespace

void append_choices(std::string& out, const std::vector<ResolveChoice>& choices) {
  if (choices.empty()) return;
  out += "<ul class=\"choices\">";
  for (const ResolveChoice& choice : choices) {
    out += "<li><span class=\"what\">";
    append_escaped(out, choice.label);
    out += ":</span> <code class=\"cmd\">";
    append_escaped(out, choice.command);
    out += "</code><button type=\"button\" class=\"copy\" data-command=\"";
    append_escaped(out, choice.command);
    out += "\">copy</button></li>";
  }
  out += "</ul>\n";
}

void append_panel(std::string& out, const ConflictPanel& panel) {
  out += "<div class=\"panel\"><h3>";
  append_escaped(out, panel.heading);
  out += "</h3>\n";
  for (const std::string& fact : panel.facts) {
    out += "<p class=\"fact\">";
    append_escaped(out, fact);
    out += "</p>\n";
  }
  if (panel.left && panel.right) append_side_by_side(out, *panel.left, *panel.right);
  if (panel.alone) append_listing(out, *panel.alone);
  if (!panel.no_base.empty()) {
    out += "<p class=\"fact\">";
    append_escaped(out, panel.no_base);
    out += "</p>\n";
  }
  append_choices(out, panel.choices);
  if (!panel.by_hand.empty()) {
    out += "<p class=\"fact\">";
    append_escaped(out, panel.by_hand);
    out += "</p>\n";
  }
  out += "</div>\n";
}

const std::string_view kPanelStyle = R"css(
.panel{border:1px solid #c8b6f5;border-radius:6px;margin:8px 0;padding:6px 10px;background:#fbf9ff}
.panel h3{font-size:14px;margin:0 0 4px}.panel .fact{margin:2px 0}
table.sbs{border-collapse:collapse;width:100%;table-layout:fixed;margin:6px 0;background:#fff}
table.sbs col.n{width:3.2em}table.sbs th{text-align:left;font-weight:600;padding:2px 6px;background:#f6f8fa;border-bottom:1px solid #d0d7de}
table.sbs td{padding:0 6px;vertical-align:top}td.t.d{background:#ffebe9}td.t.a{background:#e6ffec}td.none{background:#f6f8fa;color:#8c959f}
details.alone>summary{cursor:pointer;color:#59636e}
ul.choices{list-style:none;padding:0;margin:6px 0}ul.choices li{margin:3px 0}
code.cmd{background:#f6f8fa;border:1px solid #d0d7de;border-radius:4px;padding:1px 5px;user-select:all;word-break:break-all}
button.copy{margin-left:6px;font-size:12px;cursor:pointer}
)css";

// Copies with the clipboard API where the browser allows it, else selects
// the command so that the reader copies it.
const std::string_view kPanelScript = R"js(
(function(){
function pick(code){var r=document.createRange();r.selectNodeContents(code);var s=window.getSelection();s.removeAllRanges();s.addRange(r);}
document.addEventListener('click',function(ev){var b=ev.target.closest&&ev.target.closest('button.copy');if(!b)return;
var code=b.parentNode.querySelector('code.cmd'),text=b.getAttribute('data-command');
function fallback(){pick(code);var ok=false;try{ok=document.execCommand('copy');}catch(e){}b.textContent=ok?'copied':'selected: copy it';}
if(navigator.clipboard&&navigator.clipboard.writeText)navigator.clipboard.writeText(text).then(function(){b.textContent='copied';},fallback);else fallback();});
})();
)js";

}  // namespace zuv::page
