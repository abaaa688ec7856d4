// `zuv diff` and `zuv diff-driver`: the notebook-aware diff in a terminal.
//
// Pipeline notebooks are compared with `diff_dicts`: per code cell (by
// canvas name, then id) added, removed or modified with a unified diff of
// its source, parents gained and lost, and the parameters with old and new
// values.  Other notebooks get a diff of their cell sources by position,
// and files that are not JSON a plain line diff.  Nothing is printed for
// what did not change; every piece of notebook text is escaped.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "diff_rules/plain_records.hpp"
#include "py/error.hpp"
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/git/pipeline_check.hpp"
#include "zuv/notebook/keyed_view.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/html_diff.hpp"
#include "zuv/pages/markdown_diff.hpp"
#include "zuv/text/line_diff.hpp"
#include "zuv/text/terminal.hpp"
#include "zuv/text/terminal_diff.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kNoFile = "/dev/null";

// One side of the comparison.
struct Side {
  std::string path;
  std::string label;
  std::string bytes;
  bool missing = false;  // /dev/null: the file does not exist on this side
  Ref document;          // the parsed JSON object, if the file holds one
};

bool load(Side& side, const char* command) {
  side.missing = side.path == kNoFile;
  if (side.missing) return true;
  std::string error;
  if (!read_bytes(side.path, side.bytes, error)) {
    failure(command, error);
    return false;
  }
  if (!parse_json_if_any(side.bytes, side.document)) {
    python_failure(command);
    return false;
  }
  if (side.document && !PyDict_Check(side.document.get())) side.document = Ref{};
  return true;
}

// Collects the printed lines, coloured or not.
class Printer {
 public:
  explicit Printer(Palette palette) : palette_(palette) {}
  Palette palette() const { return palette_; }
  void line(const char* colour, const std::string& text) {
    out_ += palette_.paint(colour);
    out_ += text;
    out_ += palette_.reset();
    out_ += '\n';
  }
  void plain(const std::string& text) { out_ += text + "\n"; }
  // The unified diff of two texts' lines, each line coloured by its kind
  // (hunk header, removed, added) and indented by `indent`.
  void diff_lines(text::LineViews before, text::LineViews after, std::string_view indent) {
    unified_diff(before, after, [&](std::string_view head, std::string_view line) {
      const char* colour = head[0] == '@'   ? kCyan
                           : head[0] == '+' ? kGreen
                           : head[0] == '-' ? kRed
                                            : "";
      if (*colour) out_ += palette_.paint(colour);
      out_ += indent;
      out_ += head;
      append_escaped_line(out_, line);
      if (*colour) out_ += palette_.reset();
      out_ += '\n';
    });
  }
  void append(const Printer& other) { out_ += other.out_; }
  const std::string& text() const { return out_; }
  bool empty() const { return out_.empty(); }

  static constexpr const char* kBold = "\x1b[1m";
  static constexpr const char* kRed = "\x1b[31m";
  static constexpr const char* kGreen = "\x1b[32m";
  static constexpr const char* kYellow = "\x1b[33m";
  static constexpr const char* kCyan = "\x1b[36m";

 private:
  Palette palette_;
  std::string out_;
};

// The canvas-id -> cell table of a document's code cells.
std::map<std::string, PyObject*> code_cells(PyObject* document) {
  std::map<std::string, PyObject*> cells;
  PyObject* list = member(document, names().cells);
  if (!list || !PyList_Check(list)) return cells;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* cell = PyList_GET_ITEM(list, i);
    if (text_member(cell, names().cell_type) == "code")
      cells[text_member(canvas_of(cell), names().id)] = cell;
  }
  return cells;
}

// a != b for two borrowed JSON values, in `different` (absent counts as a
// value of its own; values nested too deep to compare differ).  False only
// on another failure.
bool differ(PyObject* a, PyObject* b, bool& different) {
  different = a != b;
  if (!a || !b) return true;
  int equal = PyObject_RichCompareBool(a, b, Py_EQ);
  different = equal != 1;
  return equal >= 0 || clear_expected({PyExc_RecursionError});
}

// Keys of two objects whose values differ, skipping `ignored`, appended to
// `keys`.
bool changed_keys(PyObject* a, PyObject* b, std::initializer_list<const char*> ignored,
                  std::vector<std::string>& keys) {
  for (PyObject* mapping : {a, b}) {
    if (!mapping || !PyDict_Check(mapping)) continue;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(mapping, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) continue;
      std::string name = utf8(key);
      if (std::find_if(ignored.begin(), ignored.end(), [&](const char* i) { return name == i; }) !=
          ignored.end())
        continue;
      if (std::find(keys.begin(), keys.end(), name) != keys.end()) continue;
      // The other side is looked up by the text as read, as the listing shows it.
      Ref text = Ref::steal(PyUnicode_FromString(name.c_str()));
      if (!text) return false;
      // Held: the comparison may run Python code.
      Ref held = Ref::borrow(value);
      Ref other = Ref::borrow(member(mapping == a ? b : a, text.get()));
      bool different = false;
      if (!differ(held.get(), other.get(), different)) return false;
      if (different) keys.push_back(name);
    }
  }
  return true;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + escape_line(item);
  return out;
}

// What changed in a cell beside its source and parents, read before the
// comparison writes its own keys into the cells.
bool cell_notes(PyObject* before, PyObject* after, std::vector<std::string>& notes) {
  PyObject* old_canvas = canvas_of(before);
  PyObject* new_canvas = canvas_of(after);
  std::string old_name = text_member(old_canvas, names().name);
  std::string new_name = text_member(new_canvas, names().name);
  if (old_name != new_name)
    notes.push_back("renamed from " +
                    (old_name.empty() ? std::string("(unnamed)") : escape_line(old_name)));
  if (!canvas_changes(old_canvas, new_canvas, notes)) return false;
  bool different = false;
  if (!differ(member(before, names().outputs), member(after, names().outputs), different))
    return false;
  if (different) notes.push_back("outputs changed");
  return true;
}

struct CellNotes {
  std::map<std::string, std::vector<std::string>> by_id;
  std::vector<std::string> notebook_metadata;
  CellNames old_names, new_names;  // parents are shown by these
};

bool read_notes(PyObject* before, PyObject* after, CellNotes& notes) {
  notes.old_names = cell_names(before);
  notes.new_names = cell_names(after);
  std::map<std::string, PyObject*> old_cells = code_cells(before);
  for (auto [id, cell] : code_cells(after))
    if (auto found = old_cells.find(id); found != old_cells.end())
      if (!cell_notes(found->second, cell, notes.by_id[id])) return false;
  PyObject* old_meta = member(before, names().metadata);
  PyObject* new_meta = member(after, names().metadata);
  std::vector<std::string> canvas_keys;
  if (!changed_keys(old_meta, new_meta, {"canvas"}, notes.notebook_metadata) ||
      !changed_keys(member(old_meta, names().canvas), member(new_meta, names().canvas),
                    {"parameters"}, canvas_keys))
    return false;
  for (const std::string& key : canvas_keys) notes.notebook_metadata.push_back("canvas." + key);
  return changed_keys(before, after, {"cells", "metadata"}, notes.notebook_metadata);
}

bool print_parameters(PyObject* diff, Printer& printer) {
  // Held, not borrowed: writing values as JSON runs the json module.
  Ref parameters = Ref::borrow(member(canvas_of(diff), names().parameter));
  if (!parameters || !PyList_Check(parameters.get())) return true;
  bool header = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
    Ref held = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
    PyObject* parameter = held.get();
    std::string status = text_member(parameter, names().diff_status);
    if (status.empty() || status == "unchanged") continue;
    if (!header) printer.line(Printer::kBold, "parameters:");
    header = true;
    std::string name = escape_line(text_member(parameter, names().name));
    std::string value, old_value;
    if (!json_text(member(parameter, names().value), value)) return false;
    std::string type = escape_line(text_member(parameter, names().type));
    if (status == "added" || status == "removed") {
      const bool added = status == "added";
      std::string line = added ? "  + " : "  - ";
      line.append(name).append(" = ").append(value).append("  (").append(type).append(")");
      printer.line(added ? Printer::kGreen : Printer::kRed, line);
    } else {
      std::string line = "  ~ ";
      if (!json_text(member(parameter, names().prev_value), old_value)) return false;
      line.append(name).append(": ").append(old_value);
      line.append(" -> ").append(value);
      std::string old_type = escape_line(text_member(parameter, names().prev_type));
      line.append("  (");
      if (old_type != type) line.append(old_type).append(" -> ");
      line.append(type).append(")");
      printer.line(Printer::kYellow, line);
    }
  }
  return true;
}

struct ShownCell {
  std::string name, id;
  Ref cell;  // held: the source diffs run difflib
};

bool print_pipeline_cells(PyObject* diff, const CellNotes& notes, Printer& printer) {
  std::vector<ShownCell> cells;
  PyObject* list = member(diff, names().cells);
  if (list && PyList_Check(list))
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* cell = PyList_GET_ITEM(list, i);
      cells.push_back({text_member(canvas_of(cell), names().name),
                       text_member(canvas_of(cell), names().id), Ref::borrow(cell)});
    }
  std::sort(cells.begin(), cells.end(), [](const ShownCell& a, const ShownCell& b) {
    return a.name != b.name ? a.name < b.name : a.id < b.id;
  });
  for (const ShownCell& shown : cells) {
    PyObject* canvas = canvas_of(shown.cell.get());
    std::string status = text_member(canvas, names().diff_status);
    std::string gained, lost;
    parent_changes(member(canvas, names().added_parents), member(canvas, names().removed_parents),
                   notes.old_names, notes.new_names, gained, lost);
    auto found = notes.by_id.find(shown.id);
    const std::vector<std::string> none;
    const std::vector<std::string>& cell_notes = found == notes.by_id.end() ? none : found->second;
    bool in_both = status != "added" && status != "removed";
    if (in_both && status != "modified" && gained.empty() && lost.empty() && cell_notes.empty())
      continue;
    const char* colour = status == "added"     ? Printer::kGreen
                         : status == "removed" ? Printer::kRed
                                               : Printer::kYellow;
    std::string verb = in_both ? "modified" : status;
    std::string label = shown.name.empty() ? "(unnamed)" : escape_line(shown.name);
    std::string heading = verb;
    heading.append(" cell ").append(label).append("  (id ").append(escape_line(shown.id));
    heading.append(")");
    printer.line(colour, heading);
    for (const std::string& note : cell_notes) printer.plain("  " + note);
    // A removed cell's own parents are "lost" and an added cell's "gained":
    // worth showing only for cells on both sides.
    if (in_both && !gained.empty()) printer.line(Printer::kGreen, "  parents gained: " + gained);
    if (in_both && !lost.empty()) printer.line(Printer::kRed, "  parents lost: " + lost);
    if (!in_both && !(status == "added" ? gained : lost).empty())
      printer.plain("  parents: " + (status == "added" ? gained : lost));
    const SourceText before(member(canvas, names().prev_source));
    const SourceText after(member(shown.cell.get(), names().source));
    if (before.lines != after.lines) printer.diff_lines(before.lines, after.lines, "  ");
  }
  return true;
}

bool pipeline_diff(PyObject* before, PyObject* after, bool whole_file, Printer& printer) {
  CellNotes notes;
  if (!read_notes(before, after, notes)) return false;
  // A notebook added or deleted as a whole: its metadata is no news.
  if (whole_file) notes.notebook_metadata.clear();
  Ref diff = diff::diff_plain(before, after);
  if (!diff) return false;
  if (!print_parameters(diff.get(), printer)) return false;
  if (!print_pipeline_cells(diff.get(), notes, printer)) return false;
  if (!notes.notebook_metadata.empty())
    printer.line(Printer::kYellow, "notebook metadata changed: " + joined(notes.notebook_metadata));
  return true;
}

// Cells of notebooks without canvas metadata, compared by position.
bool positional_diff(PyObject* before, PyObject* after, Printer& printer) {
  // Held, not borrowed: the source diffs run difflib.
  Ref old_list = Ref::borrow(member(before, names().cells));
  Ref new_list = Ref::borrow(member(after, names().cells));
  PyObject* old_cells = old_list.get();
  PyObject* new_cells = new_list.get();
  Py_ssize_t old_count = old_cells && PyList_Check(old_cells) ? PyList_GET_SIZE(old_cells) : 0;
  Py_ssize_t new_count = new_cells && PyList_Check(new_cells) ? PyList_GET_SIZE(new_cells) : 0;
  for (Py_ssize_t i = 0; i < std::max(old_count, new_count); ++i) {
    Ref old_held = Ref::borrow(i < old_count ? PyList_GET_ITEM(old_cells, i) : nullptr);
    Ref new_held = Ref::borrow(i < new_count ? PyList_GET_ITEM(new_cells, i) : nullptr);
    PyObject* old_cell = old_held.get();
    PyObject* new_cell = new_held.get();
    const SourceText a(member(old_cell, names().source));
    const SourceText b(member(new_cell, names().source));
    if (old_cell && new_cell && a.lines == b.lines) continue;
    PyObject* shown = new_cell ? new_cell : old_cell;
    std::string type = escape_line(text_member(shown, names().cell_type));
    std::string header = "cell " + std::to_string(i + 1) + (type.empty() ? "" : " (" + type + ")");
    if (!old_cell)
      printer.line(Printer::kGreen, "added " + header);
    else if (!new_cell)
      printer.line(Printer::kRed, "removed " + header);
    else
      printer.line(Printer::kYellow, "modified " + header);
    printer.diff_lines(a.lines, b.lines, "  ");
  }
  return true;
}

// "a/" or "b/" before a label; an absolute path keeps a single slash.
std::string prefixed(const char* prefix, const std::string& label) {
  size_t start = label.find_first_not_of('/');
  return prefix + escape_line(start == std::string::npos ? std::string() : label.substr(start));
}

// The comparison of two sides, printed; false with a Python exception.
// `notes` are lines git gives beside the contents (a rename, a new mode):
// shown after the header, and the header is shown for them alone.
bool show_diff(Side& before, Side& after, const std::vector<std::string>& notes, Printer& printer) {
  // The body is built first: the header is printed only when something
  // changed at all.
  Printer body(printer.palette());
  bool both_notebooks = (before.missing || before.document) && (after.missing || after.document);
  // Cells without a canvas id are matched as the cell merge matches them
  // (keyed_views), so a plain notebook, or a pipeline one with a cell added
  // in stock Jupyter, is compared cell by cell rather than by position.
  Ref old_view, new_view;
  if (both_notebooks) {
    Ref old_document = before.missing ? empty_pipeline_notebook() : before.document;
    if (!old_document) return false;
    Ref new_document = after.missing ? empty_pipeline_notebook() : after.document;
    if (!new_document || !keyed_views(old_document.get(), new_document.get(), old_view, new_view))
      return false;
  }
  std::string old_problem, new_problem;
  if (both_notebooks && (!pipeline_problem(old_view.get(), old_problem) ||
                         !pipeline_problem(new_view.get(), new_problem)))
    return false;
  if (both_notebooks && old_problem.empty() && new_problem.empty()) {
    if (!pipeline_diff(old_view.get(), new_view.get(), before.missing || after.missing, body))
      return false;
  } else if (both_notebooks) {
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) return false;
    body.plain("(not a pipeline notebook: cell sources compared by position)");
    if (!positional_diff(before.missing ? empty.get() : before.document.get(),
                         after.missing ? empty.get() : after.document.get(), body))
      return false;
  } else {
    body.diff_lines(split_views(before.bytes), split_views(after.bytes), "");
  }
  bool changed = before.bytes != after.bytes || before.missing != after.missing;
  if (!changed && notes.empty()) return true;
  printer.line(Printer::kBold,
               "notebook diff " +
                   (before.missing ? std::string(kNoFile) : prefixed("a/", before.label)) + " " +
                   (after.missing ? std::string(kNoFile) : prefixed("b/", after.label)));
  for (const std::string& note : notes) printer.line(Printer::kBold, escape_line(note));
  if (changed && body.empty())
    printer.plain("  (no change to cells, parameters or notebook metadata)");
  printer.append(body);
  return true;
}

// Parses a side read elsewhere as load() does.
bool side_of(const DiffInput& input, Side& side) {
  side = Side{input.missing ? kNoFile : "", input.label, input.bytes, input.missing, {}};
  if (side.missing) return true;
  if (!parse_json_if_any(side.bytes, side.document)) return false;
  if (side.document && !PyDict_Check(side.document.get())) side.document = Ref{};
  return true;
}

int print_diff(const char* command, Side& before, Side& after, Palette palette,
               const std::vector<std::string>& notes = {}) {
  if (!load(before, command) || !load(after, command)) return status::failure;
  Printer printer(palette);
  if (!show_diff(before, after, notes, printer)) return python_failure(command);
  const std::string& text = printer.text();
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return failure(command, "cannot write to standard output");
  return status::ok;
}

// git's external diff arguments: PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE
// NEW-HEX NEW-MODE, then NEW-PATH and the rename header for a rename or a
// copy; only PATH for an unmerged path.  All of them are data, whatever they
// start with; a leading "--" only ends the (absent) options.
struct ExternalDiff {
  std::string path, old_file, old_mode, new_file, new_mode, new_path, header;
};

bool external_diff_arguments(std::vector<std::string> args, ExternalDiff& out) {
  if (!args.empty() && args[0] == "--" && args.size() % 2 == 0) args.erase(args.begin());
  if (args.size() == 1) {
    out.path = args[0];
    return true;
  }
  if (args.size() != 7 && args.size() != 9) return false;
  out = {args[0], args[1], args[3], args[4], args[6], args[0], ""};
  if (args.size() == 9) {
    out.new_path = args[7];
    out.header = args[8];
  }
  return true;
}

// The lines git shows beside the contents: the rename or copy header, and a
// change of mode between two files that both exist.
std::vector<std::string> external_diff_notes(const ExternalDiff& diff) {
  std::vector<std::string> notes;
  for (size_t start = 0; start < diff.header.size();) {
    size_t end = diff.header.find('\n', start);
    if (end == std::string::npos) end = diff.header.size();
    if (end > start) notes.push_back(diff.header.substr(start, end - start));
    start = end + 1;
  }
  auto real_mode = [](const std::string& mode) { return !mode.empty() && mode != "."; };
  if (real_mode(diff.old_mode) && real_mode(diff.new_mode) && diff.old_mode != diff.new_mode) {
    notes.push_back("old mode " + diff.old_mode);
    notes.push_back("new mode " + diff.new_mode);
  }
  return notes;
}

bool file_exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// Splits `zuv diff`'s arguments at the "--" that ends its options (not one
// given as an option's value).
void split_at_separator(const std::vector<std::string>& args, std::vector<std::string>& options,
                        std::vector<std::string>& paths, bool& separated) {
  separated = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      separated = true;
      paths.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      return;
    }
    options.push_back(args[i]);
    if ((args[i] == "--html" || args[i] == "--color" || args[i] == "--max-bytes") &&
        i + 1 < args.size())
      options.push_back(args[++i]);
  }
}

}  // namespace

bool diff_text(const DiffInput& before, const DiffInput& after, Palette palette, std::string& out) {
  Side old_side, new_side;
  if (!side_of(before, old_side) || !side_of(after, new_side)) return false;
  Printer printer(palette);
  if (!show_diff(old_side, new_side, {}, printer)) return false;
  out += printer.text();
  return true;
}

int run_diff(const std::vector<std::string>& args) {
  std::string error;
  std::vector<std::string> before_separator, paths;
  bool separated = false;
  split_at_separator(args, before_separator, paths, separated);
  auto parsed = parse_arguments(before_separator,
                                {{"--color", true},
                                 {"--html", true},
                                 {"--exit-code", false},
                                 {"--difftool", false},
                                 {"--markdown", false},
                                 {"--max-bytes", true}},
                                error);
  if (!parsed) return usage_error("diff", error);
  const bool markdown = parsed->has("--markdown");
  std::size_t max_bytes = kDefaultMarkdownBytes;
  if (auto limit = parsed->value("--max-bytes")) {
    if (!markdown) return usage_error("diff", "--max-bytes goes with --markdown");
    if (!parse_max_bytes(*limit, max_bytes))
      return usage_error("diff", "--max-bytes must be 0 (no limit) or at least " +
                                     std::to_string(kMinMarkdownBytes));
  }
  if (markdown && (parsed->has("--html") || parsed->has("--difftool")))
    return usage_error("diff", "--markdown cannot be combined with --html or --difftool");
  if (parsed->has("--difftool")) {
    if (parsed->positional.size() != 3 || separated)
      return usage_error("diff", "--difftool expects git's LOCAL REMOTE MERGED");
    return write_difftool_page(parsed->positional[0], parsed->positional[1], parsed->positional[2]);
  }
  const bool exit_code = parsed->has("--exit-code");
  const auto& positional = parsed->positional;
  // The page may also be asked for in git's external diff form (seven
  // arguments, nine for a rename), as `diff.zuv.command` of a single
  // `git -c ... diff`.
  ExternalDiff git_diff;
  if (auto html = parsed->value("--html");
      html && !separated && positional.size() >= 7 && external_diff_arguments(positional, git_diff))
    return write_html_diff({*html, git_diff.old_file, git_diff.new_file, "a/" + git_diff.path,
                            "b/" + git_diff.new_path});
  if (markdown && !separated && positional.size() >= 7 &&
      external_diff_arguments(positional, git_diff)) {
    bool changed = false;
    return write_markdown_diff({git_diff.old_file, git_diff.new_file, "a/" + git_diff.path,
                                "b/" + git_diff.new_path, max_bytes},
                               changed);
  }
  ColorMode mode = ColorMode::automatic;
  if (auto colour = parsed->value("--color"); colour && !parse_color_mode(*colour, mode))
    return usage_error("diff", "--color must be auto, always or never");
  // Two files that are not revisions: the comparison of those files.  Else,
  // as git reads its arguments: revisions first, then paths.  Outside a
  // repository, two files after "--" are the two files (names that start
  // with "-" need it); inside one, paths after "--" limit a revision diff.
  const std::vector<std::string>& files = separated && positional.empty() ? paths : positional;
  const bool two_files =
      files.size() == 2 && (separated ? positional.empty() && !in_work_tree()
                                      : (file_exists(files[0]) && file_exists(files[1])) ||
                                            (!is_revision(files[0]) && !is_revision(files[1])));
  if (two_files) {
    const std::string& old_path = files[0];
    const std::string& new_path = files[1];
    if (auto html = parsed->value("--html")) {
      int result = write_html_diff({*html, old_path, new_path, old_path, new_path});
      if (result != status::ok || !exit_code) return result;
      // Differ as the text view decides it: by the files' bytes.
      std::string old_bytes, new_bytes;
      if (!read_bytes(old_path, old_bytes, error) || !read_bytes(new_path, new_bytes, error))
        return failure("diff", error);
      return old_bytes != new_bytes ? 1 : status::ok;
    }
    if (markdown) {
      bool changed = false;
      int result =
          write_markdown_diff({old_path, new_path, old_path, new_path, max_bytes}, changed);
      return result == status::ok && exit_code && changed ? 1 : result;
    }
    Side before{old_path, old_path, {}, false, {}};
    Side after{new_path, new_path, {}, false, {}};
    int result = print_diff("diff", before, after, Palette{colour_output(mode)});
    bool changed = before.bytes != after.bytes || before.missing != after.missing;
    return result == status::ok && exit_code && changed ? 1 : result;
  }
  std::vector<std::string> revisions;
  std::vector<std::string> limits;
  for (const std::string& arg : positional) {
    if (limits.empty() && revisions.size() < 2 && is_revision(arg))
      revisions.push_back(arg);
    else if (limits.empty() && revisions.empty() && revision_range(arg, revisions))
      continue;
    else if (separated || !file_exists(arg))
      return usage_error(
          "diff", separated ? "unknown revision " + escape_line(arg)
                            : "expected OLD and NEW, or revisions and paths: " + escape_line(arg) +
                                  " is neither a revision nor a file");
    else
      limits.push_back(arg);
  }
  limits.insert(limits.end(), paths.begin(), paths.end());
  bool changed = false;
  if (markdown) {
    int result = run_revision_markdown(revisions, limits, max_bytes, changed);
    return result == status::ok && exit_code && changed ? 1 : result;
  }
  auto html = parsed->value("--html");
  int result = run_revision_diff(revisions, limits, html ? &*html : nullptr,
                                 Palette{colour_output(mode)}, changed);
  return result == status::ok && exit_code && changed ? 1 : result;
}

int run_diff_driver(const std::vector<std::string>& args) {
  ExternalDiff diff;
  if (!external_diff_arguments(args, diff))
    return usage_error("diff-driver",
                       "expected git's 7 arguments (PATH OLD-FILE OLD-HEX OLD-MODE "
                       "NEW-FILE NEW-HEX NEW-MODE), 9 for a rename or copy (then NEW-PATH "
                       "RENAME-HEADER), or 1 for an unmerged PATH");
  // git difftool's own helper is what the diff=zuv attribute replaced.
  if (under_difftool()) return run_difftool_helper(args);
  if (diff.old_file.empty()) {
    std::printf("* Unmerged path %s\n", escape_line(diff.path).c_str());
    return std::fflush(stdout) == 0 ? status::ok
                                    : failure("diff-driver", "cannot write to standard output");
  }
  Side before{diff.old_file, diff.path, {}, false, {}};
  Side after{diff.new_file, diff.new_path, {}, false, {}};
  // Under git, standard output is usually its pager rather than the terminal.
  const char* pager = std::getenv("GIT_PAGER_IN_USE");
  bool colour = colour_output(ColorMode::automatic, pager && *pager);
  return print_diff("diff-driver", before, after, Palette{colour}, external_diff_notes(diff));
}

}  // namespace zuv::cli
