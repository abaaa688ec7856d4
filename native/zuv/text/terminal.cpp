#include "zuv/text/terminal.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zuv/text/utf8.hpp"

namespace zuv::cli {

namespace {

void append_hex(std::string& out, unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, digits == 2 ? "\\x%02x" : "\\u%04x", value);
  out += buffer;
}

// The code point of the valid 3-byte UTF-8 sequence at text[i].
unsigned code_point3(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(text[k])); };
  return (byte(i) & 0x0f) << 12 | (byte(i + 1) & 0x3f) << 6 | (byte(i + 2) & 0x3f);
}

// The bidirectional embedding, override and isolate controls: they reorder
// what the terminal shows, so a line could display other code than it holds.
bool bidi_control(unsigned code_point) {
  return (code_point >= 0x202a && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

// Bytes that are printed as they are: printable ASCII and tab.
bool plain_byte(unsigned char c) { return (c >= 0x20 && c < 0x7f) || c == '\t'; }

// Whether eight bytes are all printable ASCII (0x20-0x7e): no byte below
// 0x20 and none above 0x7e, each test on the whole word at once.
bool printable_word(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  const std::uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
  const std::uint64_t above = ((word + kOnes * (0x7f - 0x7e)) | word) & kHigh;
  return (below | above) == 0;
}

void append_escaped(std::string& out, std::string_view text, bool keep_newline) {
  for (size_t i = 0; i < text.size();) {
    // Runs of plain ASCII, the bulk of any source, are copied whole.
    size_t run = i;
    for (std::uint64_t word; run + 8 <= text.size(); run += 8) {
      std::memcpy(&word, text.data() + run, 8);
      if (!printable_word(word)) break;
    }
    while (run < text.size() && plain_byte(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text.data() + i, run - i);
    if ((i = run) == text.size()) break;
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = zuv::text::utf8_length(text, i);
    if (length == 0) {
      append_hex(out, c, 2);
      ++i;
    } else if (length == 1) {
      if (c == '\n' && keep_newline)
        out += static_cast<char>(c);
      else if (c == '\n')
        out += "\\n";
      else if (c == '\r')
        out += "\\r";
      else
        append_hex(out, c, 2);
      ++i;
    } else if (length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      append_hex(out, static_cast<unsigned char>(text[i + 1]), 4);  // C1 control
      i += 2;
    } else if (length == 3 && bidi_control(code_point3(text, i))) {
      append_hex(out, code_point3(text, i), 4);
      i += 3;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
}

std::string escape(std::string_view text, bool keep_newline) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text, keep_newline);
  return out;
}

}  // namespace

std::string escape_control(std::string_view text) { return escape(text, true); }
std::string escape_line(std::string_view text) { return escape(text, false); }
void append_escaped_line(std::string& out, std::string_view text) {
  append_escaped(out, text, false);
}

void print_line(std::FILE* stream, const std::string& text) {
  std::fprintf(stream, "%s\n", escape_control(text).c_str());
}

bool parse_color_mode(std::string_view text, ColorMode& out) {
  if (text == "auto")
    out = ColorMode::automatic;
  else if (text == "always")
    out = ColorMode::always;
  else if (text == "never")
    out = ColorMode::never;
  else
    return false;
  return true;
}

bool colour_output(ColorMode mode, bool to_pager) {
  if (mode != ColorMode::automatic) return mode == ColorMode::always;
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour && *no_colour) return false;
  const char* term = std::getenv("TERM");
  if (term && std::strcmp(term, "dumb") == 0) return false;
  return to_pager || isatty(STDOUT_FILENO) == 1;
}

}  // namespace zuv::cli
