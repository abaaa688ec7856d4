// `zuv textconv FILE`: a notebook as readable text, for git's textconv
// (`git diff`, `git log -p` and `git show` diff this text line by line).
//
// Layout: the parameters, then per cell a header line with its type, name,
// canvas id and parents (a cell without a canvas id: its type and nbformat
// id), its source lines indented, and one summary line per output.  A file that is not a JSON
// notebook is printed as it is.
#include <cstdio>
#include <string>

#include "zuv/commands.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "textconv";

bool notebook_text(PyObject* document, std::string& out) {
  PyObject* canvas = canvas_of(document);
  // Held, not borrowed: writing values as JSON runs the json module.
  Ref parameters = Ref::borrow(member(canvas, names().parameters));
  if (parameters && PyList_Check(parameters.get()) && PyList_GET_SIZE(parameters.get()) > 0) {
    out += "parameters:\n";
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
      Ref held = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
      PyObject* parameter = held.get();
      std::string value;
      if (!json_text(member(parameter, names().value), value)) return false;
      out += "  " + escape_line(text_member(parameter, names().name)) + " = " + value;
      std::string type = text_member(parameter, names().type);
      if (!type.empty()) out += "  (" + escape_line(type) + ")";
      out += "\n";
    }
  }
  Ref cells = Ref::borrow(member(document, names().cells));
  if (!cells || !PyList_Check(cells.get())) return true;
  const CellNames cell_names_by_id = cell_names(document);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.get()); ++i) {
    Ref held = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
    PyObject* cell = held.get();
    PyObject* cell_canvas = canvas_of(cell);
    std::string type = text_member(cell, names().cell_type);
    out += "\n[" + (type.empty() ? std::string("cell") : escape_line(type)) + "]";
    std::string id = text_member(cell_canvas, names().id);
    if (!id.empty()) {
      out += " " + cell_label(cell, i) + "  (id " + escape_line(id) + ")";
    } else {
      // A plain cell: by its nbformat id where it has one, never by place,
      // so that inserting a cell changes no later header.
      std::string cell_id = text_member(cell, names().id);
      if (!cell_id.empty()) out += "  (cell id " + escape_line(cell_id) + ")";
    }
    std::string parents = parent_names(member(cell_canvas, names().parents), cell_names_by_id);
    if (!parents.empty()) out += "  <- " + parents;
    out += "\n";
    for (const std::string& line : source_lines(member(cell, names().source)))
      out += "    " + escape_line(line) + "\n";
    // Comments too, so that a commit adding one shows in `git log -p`.
    Ref comments = Ref::borrow(member(cell_canvas, names().comments));
    if (comments && PyList_Check(comments.get()))
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(comments.get()); ++k) {
        Ref comment = Ref::borrow(PyList_GET_ITEM(comments.get(), k));
        std::string text;
        if (!comment_text(comment.get(), text)) return false;
        out += "  comment: " + text + "\n";
      }
    // A header colour other than the canvas default, for the same reason.
    std::string colour;
    if (!colour_text(member(cell_canvas, names().headerColor), colour)) return false;
    if (colour != "(none)" && colour != "none") out += "  header colour: " + colour + "\n";
    for (const std::string& line : output_summaries(member(cell, names().outputs)))
      out += "  " + line + "\n";
  }
  return true;
}

}  // namespace

int run_textconv(const std::vector<std::string>& args) {
  // FILE is data whatever it starts with (git may pass a work-tree path such
  // as "-draft.ipynb"); "--" before it only ends the (absent) options.
  const bool ended = args.size() == 2 && args[0] == "--";
  if (args.size() != 1 && !ended) return usage_error(kCommand, "expected one FILE");
  const std::string& path = args.back();
  std::string bytes, error;
  if (!read_bytes(path, bytes, error)) return failure(kCommand, error);
  Ref document;
  if (!parse_json_if_any(bytes, document)) return python_failure(kCommand);
  std::string text;
  if (!document || !PyDict_Check(document.get()))
    text = escape_control(bytes);
  else if (!notebook_text(document.get(), text))
    return python_failure(kCommand);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return failure(kCommand, "cannot write to standard output");
  return status::ok;
}

}  // namespace zuv::cli
