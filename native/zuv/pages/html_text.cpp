#include "zuv/pages/html_text.hpp"

#include <array>
#include <cstdint>

#include "zuv/text/utf8.hpp"

namespace zuv::html {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Bytes written as they are: printable ASCII but for the five that HTML
// escapes.  A table, so that the runs of them are found at a byte a step.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7F; ++c) plain[c] = true;
  for (unsigned char c : {'&', '<', '>', '"', '\''}) plain[c] = false;
  return plain;
}();

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t run = i;
    while (run < text.size() && kPlain[static_cast<unsigned char>(text[run])]) ++run;
    out.append(text.data() + i, run - i);
    if ((i = run) == text.size()) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        ++i;
        continue;
      case '<':
        out += "&lt;";
        ++i;
        continue;
      case '>':
        out += "&gt;";
        ++i;
        continue;
      case '"':
        out += "&quot;";
        ++i;
        continue;
      case '\'':
        out += "&#39;";
        ++i;
        continue;
      case '\t':
      case '\n':
        out += static_cast<char>(c);
        ++i;
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += kReplacement;
      ++i;
      continue;
    }
    const std::size_t n = zuv::text::utf8_length(text, i);
    if (n == 0) {
      // One replacement per lone surrogate (three bytes as Python's
      // "surrogatepass" writes them), else per byte.
      const bool surrogate = c == 0xED && i + 2 < text.size() &&
                             (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0 &&
                             (static_cast<unsigned char>(text[i + 2]) & 0xC0) == 0x80;
      out += kReplacement;
      i += surrogate ? 3 : 1;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

void append_page_head(std::string& out, std::string_view title, std::string_view nonce,
                      std::initializer_list<std::string_view> styles) {
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:; script-src 'nonce-";
  out += nonce;
  out += "'\">\n<meta name=\"viewport\" content=\"width=device-width\">\n<title>";
  append_escaped(out, title);
  out += "</title>\n<style>";
  for (std::string_view style : styles) out += style;
  out += "</style></head>\n<body>\n<h1>";
  append_escaped(out, title);
  out += "</h1>\n";
}

bool shows_exactly(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
    const std::size_t n = zuv::text::utf8_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string shortened(std::string_view text, std::size_t max_chars) {
  std::size_t chars = 0, i = 0;
  while (i < text.size() && chars < max_chars) {
    const std::size_t n = zuv::text::utf8_length(text, i);
    i += n == 0 ? 1 : n;
    ++chars;
  }
  if (i >= text.size()) return std::string(text);
  return std::string(text.substr(0, i)) + "\xE2\x80\xA6";
}

}  // namespace zuv::html
