#include "zuv/pages/page_sections.hpp"

#include "zuv/pages/html_text.hpp"

namespace zuv::page {

using html::append_escaped;

namespace {

constexpr const char* kStyle =
    "body{font:14px/1.4 system-ui,sans-serif;margin:16px;color:#222}"
    "nav ol{margin:0 0 12px;padding-left:20px}"
    "section{margin:0 0 24px}"
    "h2{font-size:16px;margin:8px 0;word-break:break-all}"
    "iframe{width:100%;height:85vh;border:1px solid #ccc;border-radius:4px}";

}  // namespace

std::string render_sections(const std::string& title, const std::vector<Section>& sections,
                            const std::string& nonce) {
  std::size_t size = 2048;
  for (const Section& section : sections) size += section.html.size() * 11 / 10 + 256;
  std::string out;
  out.reserve(size);
  html::append_page_head(out, title, nonce, {kStyle});
  out += "<nav><ol>\n";
  for (std::size_t i = 0; i < sections.size(); ++i) {
    out += "<li><a href=\"#notebook-" + std::to_string(i + 1) + "\">";
    append_escaped(out, sections[i].heading);
    out += "</a></li>\n";
  }
  out += "</ol></nav>\n";
  for (std::size_t i = 0; i < sections.size(); ++i) {
    out += "<section id=\"notebook-" + std::to_string(i + 1) + "\"><h2>";
    append_escaped(out, sections[i].heading);
    out += "</h2>\n<iframe title=\"";
    append_escaped(out, sections[i].heading);
    out += "\" srcdoc=\"";
    append_escaped(out, sections[i].html);  // the attribute's value decodes to the page
    out += "\"></iframe></section>\n";
  }
  out += "</body></html>\n";
  return out;
}

}  // namespace zuv::page
