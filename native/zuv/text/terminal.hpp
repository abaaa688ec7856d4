// Text for a terminal: notebook text made harmless, and colours on or off.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zuv::cli {

// `text` with every control character other than tab and newline (C0, DEL
// and the C1 range) and every bidirectional embedding, override or isolate
// control (U+202A-U+202E, U+2066-U+2069) written as a visible escape such
// as "\x1b" or "\u202e", so a notebook cannot send escape sequences to the
// terminal nor reorder what it shows.  Bytes that are not valid UTF-8 are
// escaped too.
std::string escape_control(std::string_view text);

// The same, with newlines escaped as well: for one-line labels.
std::string escape_line(std::string_view text);

// escape_line(text) appended to `out`.
void append_escaped_line(std::string& out, std::string_view text);

// `text`, escaped as escape_control does, and a newline on `stream`.
void print_line(std::FILE* stream, const std::string& text);

enum class ColorMode { automatic, always, never };

// Parses "auto", "always" or "never".
bool parse_color_mode(std::string_view text, ColorMode& out);

// Whether to colour standard output: `always`, or `automatic` on a terminal
// (or into git's pager, `to_pager`) that is not "dumb" and with NO_COLOR unset.
bool colour_output(ColorMode mode, bool to_pager = false);

// SGR sequences, or nothing when colour is off.
struct Palette {
  bool on = false;
  const char* paint(const char* sgr) const { return on ? sgr : ""; }
  const char* reset() const { return paint("\x1b[m"); }
};

}  // namespace zuv::cli
