#include "zuv/pages/html_text.hpp"

#include <cstdint>

namespace zuv::html {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `i`, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
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
    const std::size_t n = utf8_length(text, i);
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

bool shows_exactly(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
    const std::size_t n = utf8_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string shortened(std::string_view text, std::size_t max_chars) {
  std::size_t chars = 0, i = 0;
  while (i < text.size() && chars < max_chars) {
    const std::size_t n = utf8_length(text, i);
    i += n == 0 ? 1 : n;
    ++chars;
  }
  if (i >= text.size()) return std::string(text);
  return std::string(text.substr(0, i)) + "\xE2\x80\xA6";
}

}  // namespace zuv::html
