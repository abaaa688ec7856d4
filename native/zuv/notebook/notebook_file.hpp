// Notebook files for the `zuv` commands: reading them, and writing a
// notebook back in the layout its file had (indent, escaping of non-ASCII
// text, separators, key order, line ends, final newline).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/ref.hpp"
#include "zuv/notebook/json_reader.hpp"

namespace zuv::cli {

// The whole file; false with `error` ("cannot read PATH: reason") on failure.
bool read_bytes(const std::string& path, std::string& out, std::string& error);

// While one lives, parse_json keeps the scanner it makes for the calls that
// follow (the program holds one for the length of a command); without one
// each call makes its own.  Scopes nest; the innermost holds the scanner.
class JsonScannerScope {
 public:
  JsonScannerScope();
  ~JsonScannerScope();
  JsonScannerScope(const JsonScannerScope&) = delete;
  JsonScannerScope& operator=(const JsonScannerScope&) = delete;

 private:
  Ref scanner_;
  Ref* outer_;
};

// The document a UTF-8 JSON text holds, exactly as json.loads gives it:
// read natively (json_reader.hpp), or where that declines by json's own C
// scanner, without importing the json package unless the text is no JSON,
// so that json.loads reports it; an empty Ref with the Python exception set
// when the text is not UTF-8 or not JSON.  `base`: shared by the reads of
// one notebook's versions (see read_json).
Ref parse_json(std::string_view text, ReadBase* base = nullptr);

// parse_json for a text that may hold no notebook: one that is not UTF-8
// JSON (or nests too deep) leaves `document` empty and answers true.  False
// only on another failure (MemoryError, KeyboardInterrupt, ...), left set.
bool parse_json_if_any(std::string_view text, Ref& document, ReadBase* base = nullptr);

// How a JSON text was written, in json.dumps' terms.
struct JsonLayout {
  std::optional<std::string> indent;  // nothing: one line
  bool ensure_ascii = true;
  bool sort_keys = false;
  bool final_newline = false;
  std::string newline = "\n";  // "\r\n" in a file whose first line ends so
  std::string item_separator = ", ";
  std::string key_separator = ": ";
};

// The layout of `text`, whose parsed document is `document` (key order is
// read from it).  A text that gives no evidence either way gets the layout
// json.dumps uses by default.
JsonLayout detect_layout(std::string_view text, PyObject* document);

// `document` written with `layout`, as UTF-8; false with a Python exception.
bool dump_json(PyObject* document, const JsonLayout& layout, std::string& out);

}  // namespace zuv::cli
