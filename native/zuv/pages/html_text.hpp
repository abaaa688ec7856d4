// Text placed into an HTML page: every notebook string goes through here.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace zuv::html {

// Appends `text` escaped for element content and quoted attribute values:
// markup characters become entities, bytes that are not valid UTF-8 and
// control characters other than tab and line feed become U+FFFD.  Nothing
// a notebook holds can open a tag, end an attribute or a script.
void append_escaped(std::string& out, std::string_view text);

std::string escaped(std::string_view text);

// The start of a page up to its heading: the content security policy (inline
// styles; scripts only with `nonce`; no network), the title, the styles and
// an <h1> of the title.
void append_page_head(std::string& out, std::string_view title, std::string_view nonce,
                      std::initializer_list<std::string_view> styles);

// Whether `text` is shown exactly as it is: valid UTF-8 without control
// characters (not even tab or line feed), so that text copied off the page
// is the text itself.
bool shows_exactly(std::string_view text);

// At most `max_chars` code points of `text`, with an ellipsis when cut.
std::string shortened(std::string_view text, std::size_t max_chars);

}  // namespace zuv::html
