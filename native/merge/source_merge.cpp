// The three-way merge of one cell's source lines with `git merge-file`, run
// through a GitPython command object in a temporary directory of its own:
// what the module function `_merge_source` runs, and the process route of
// the native hooks.
//
// The module-level names it uses (`tempfile`, `os`, `git`) are looked up in
// the module's globals at every call, as Python code would, so a caller may
// substitute them.  The working files are written and read natively: the
// bytes are exactly what text-mode files with UTF-8 encoding would hold on
// Linux, and reading applies universal-newline translation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "merge/source_merge.hpp"

#include "io/file_io.hpp"
#include "io/signal_hold.hpp"
#include "py/error.hpp"
#include "py/names.hpp"

namespace merge {
namespace {

using zuv::io::FileDescriptor;
using zuv::io::open_file;
using zuv::io::read_file;
using zuv::io::write_all;

// ---------------------------------------------------------------------------
// Line splitting with universal newlines.

// One line of a text: the bytes before its terminator, and whether it had
// one (then the line ends in a single line feed, whatever the terminator).
struct LineSpan {
  size_t begin;
  size_t length;
  bool terminated;
};

// Splits after every "\r\n", lone "\r" and "\n".  Line ends are ASCII, so
// splitting UTF-8 bytes never cuts a character.
std::vector<LineSpan> split_universal_lines(std::string_view text) {
  std::vector<LineSpan> lines;
  size_t begin = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\n' && c != '\r') continue;
    lines.push_back({begin, i - begin, true});
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    begin = i + 1;
  }
  if (begin < text.size()) lines.push_back({begin, text.size() - begin, false});
  return lines;
}

// ---------------------------------------------------------------------------
// Working files.

// Writes "".join(lines) as UTF-8; the join's TypeError for a non-str element
// and the encoder's error for unencodable text are the interpreter's own.
bool write_joined(int fd, PyObject* lines) {
  Ref text = Ref::steal(PyUnicode_Join(zuv::names().empty, lines));
  if (!text) return false;
  Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
  if (!bytes) return false;
  return write_all(fd, PyBytes_AS_STRING(bytes.get()),
                   static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// Creates the three working files (all open at once, current first), then
// writes each source into its file.
bool write_sources(PyObject* const paths[3], PyObject* const sources[3]) {
  FileDescriptor files[3];
  for (int i = 0; i < 3; ++i)
    if (!open_file(paths[i], O_WRONLY | O_CREAT | O_TRUNC, files[i])) return false;
  for (int i = 0; i < 3; ++i)
    if (!write_joined(files[i].get(), sources[i])) return false;
  for (int i = 0; i < 3; ++i) {
    if (!files[i].close()) {
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
  }
  return true;
}

// The merged file's descriptor stays open until its directory is gone, so
// removing the directory only unlinks the name.  The last close frees the
// inode, and that is slow on a disk file system: git rewrote the file in
// place, and ext4 (auto_da_alloc) starts writing such a file to disk when it
// is closed, so freeing it waits for that write, several hundred
// microseconds for a file nobody can reach any more.  A short-lived thread
// does that last close.  It starts with every signal blocked, so that a
// signal meant for the process reaches a thread that may be holding it off
// (see SignalHold) instead of ending the process behind its back.
void close_in_background(FileDescriptor& file) noexcept {
  int fd = file.release();
  if (fd < 0) return;
  sigset_t all, previous;
  sigfillset(&all);
  bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
  try {
    std::thread([fd] { ::close(fd); }).detach();
  } catch (...) {  // no thread to be had: close here, as usual
    ::close(fd);
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// ---------------------------------------------------------------------------
// The git call.

// What a git exit status says.  Git exits with the number of conflicts,
// capped at 127, after writing its result, and writes a conflict block for
// each.  So a status counts as conflicts only when the result bears it out:
// a wrapper that fails (126 and 127 are also a shell's "cannot execute" and
// "not found") or exits non-zero without merging writes no block.
bool is_conflict_count(long status) { return status >= 1 && status <= 127; }

bool blocks_confirm_status(long status, size_t blocks) {
  if (status <= 125) return blocks > 0;
  return status == 126 ? blocks == 126 : blocks >= 127;
}

// The integer exit status of a GitCommandError into `status`, 0 when it has
// none (no attribute "status", or one that is no int in range).
bool exit_status(PyObject* error, long& status) {
  status = 0;
  Ref value = zuv::getattr(error, zuv::names().status);
  if (!value) return zuv::clear_expected({PyExc_AttributeError});
  if (!PyLong_Check(value.get())) return true;
  int overflow = 0;
  long number = PyLong_AsLongAndOverflow(value.get(), &overflow);  // an int: cannot fail
  if (number == -1 && PyErr_Occurred()) return false;
  if (!overflow) status = number;
  return true;
}

// A GitCommandError whose status the merged result must still confirm.
struct UnconfirmedStatus {
  long status;
  zuv::CaughtError error;
};

// g.merge_file(current_path, base_path, incoming_path), with
// "--marker-size=N" first where the marker size is not git's default;
// conflicts reported as git.GitCommandError are an ordinary outcome, their
// count left in `status` and in `unconfirmed` for the caller to check
// against the result.
bool run_merge_file(PyObject* globals, PyObject* g, PyObject* const paths[3], int marker_size,
                    long& status, std::optional<UnconfirmedStatus>& unconfirmed,
                    zuv::io::SignalHold& hold) {
  status = 0;
  Ref size_option;
  if (marker_size != kDefaultMarkerSize) {
    size_option = Ref::steal(PyUnicode_FromFormat("--marker-size=%d", marker_size));
    if (!size_option) return false;
  }
  // Git may take its time (or be a shim that hangs): a signal may stop it,
  // and the exception its handler raises leaves through the clean-up.
  hold.pause();
  Ref done = size_option
                 ? zuv::call_method(g, zuv::names().merge_file, size_option.get(), paths[0],
                                    paths[1], paths[2])
                 : zuv::call_method(g, zuv::names().merge_file, paths[0], paths[1], paths[2]);
  hold.resume();
  if (done) return true;
  zuv::CaughtError error;
  Ref git = zuv::global(globals, zuv::names().git);
  Ref error_class = git ? zuv::getattr(git.get(), zuv::names().GitCommandError) : Ref{};
  if (!error_class) {
    error.become_context_of_current();
    return false;
  }
  if (PyErr_GivenExceptionMatches(error.type(), error_class.get())) {
    if (!exit_status(error.value(), status)) {
      error.become_context_of_current();
      return false;
    }
    if (is_conflict_count(status)) {
      unconfirmed.emplace(UnconfirmedStatus{status, std::move(error)});
      return true;
    }
  }
  error.restore();
  return false;
}

// ---------------------------------------------------------------------------
// The merge itself: everything that happens inside the temporary directory.

Ref merge_in_directory(PyObject* globals, PyObject* directory, PyObject* g,
                       PyObject* const sources[3], PyObject* current_name, PyObject* incoming_name,
                       ProcessMerge& how, FileDescriptor& merged_file, zuv::io::SignalHold& hold) {
  const zuv::Names& n = zuv::names();
  Ref os = zuv::global(globals, n.os);
  if (!os) return {};
  Ref os_path = zuv::getattr(os.get(), n.path);
  if (!os_path) return {};
  Ref join = zuv::getattr(os_path.get(), n.join);
  if (!join) return {};
  Ref current_path = zuv::call(join.get(), directory, n.current);
  if (!current_path) return {};
  Ref base_path = zuv::call(join.get(), directory, n.base);
  if (!base_path) return {};
  Ref incoming_path = zuv::call(join.get(), directory, n.incoming);
  if (!incoming_path) return {};

  PyObject* const paths[3] = {current_path.get(), base_path.get(), incoming_path.get()};
  if (!write_sources(paths, sources)) return {};
  std::optional<UnconfirmedStatus> unconfirmed;
  long status = 0;
  if (!run_merge_file(globals, g, paths, how.marker_size, status, unconfirmed, hold)) return {};
  std::string bytes;
  if (!read_file(current_path.get(), bytes, merged_file)) return {};
  how.blocks = status;
  if (unconfirmed) {
    Ref label = zuv::io::fs_path(current_path.get());
    if (!label) return {};
    size_t blocks =
        count_block_openings(bytes,
                             std::string_view(PyBytes_AS_STRING(label.get()),
                                              static_cast<size_t>(PyBytes_GET_SIZE(label.get()))),
                             how.marker_size);
    if (!blocks_confirm_status(unconfirmed->status, blocks)) {
      unconfirmed->error.restore();
      return {};
    }
    unconfirmed->error.discard();  // confirmed: an ordinary conflict, no failure
    how.blocks = static_cast<Py_ssize_t>(blocks);
  }
  PyObject* current_label = current_name == Py_None ? n.empty : current_name;
  Ref base_name = base_label(current_label);
  if (!base_name) return {};
  const Relabel relabels[3] = {
      {current_path.get(), current_label},
      {base_path.get(), base_name.get()},
      {incoming_path.get(), incoming_name == Py_None ? n.empty : incoming_name}};
  return merged_lines(bytes, relabels);
}

}  // namespace

Ref merge_source(PyObject* globals, PyObject* g, PyObject* current, PyObject* base,
                 PyObject* incoming, PyObject* current_name, PyObject* incoming_name,
                 ProcessMerge& how) {
  how.blocks = -1;
  // Direct callers get the checks that the function's parameters make.
  PyObject* const arguments[] = {g, current, base, incoming, current_name, incoming_name};
  for (size_t i = 0; i < std::size(arguments); ++i) {
    const zuv::Param& p = kMergeSourceParams[i];
    if (!zuv::check_argument(arguments[i], p.exact, p.none_ok, p.name)) return {};
  }
  const zuv::Names& n = zuv::names();

  // The signals that stop a command wait while the working directory is
  // made, filled and removed, so that none is left behind.
  zuv::io::SignalHold hold;

  // with tempfile.TemporaryDirectory() as directory: ...
  Ref tempfile = zuv::global(globals, n.tempfile);
  if (!tempfile) return {};
  Ref factory = zuv::getattr(tempfile.get(), n.TemporaryDirectory);
  if (!factory) return {};
  Ref manager = zuv::call(factory.get());
  if (!manager) return {};
  Ref enter = zuv::getattr(manager.get(), n.dunder_enter);
  if (!enter) return {};
  Ref exit = zuv::getattr(manager.get(), n.dunder_exit);
  if (!exit) return {};
  Ref directory = zuv::call(enter.get());
  if (!directory) return {};

  PyObject* const sources[3] = {current, base, incoming};
  FileDescriptor merged_file;
  Ref result = merge_in_directory(globals, directory.get(), g, sources, current_name, incoming_name,
                                  how, merged_file, hold);
  if (result) {
    Ref exited = zuv::call(exit.get(), Py_None, Py_None, Py_None);
    close_in_background(merged_file);
    return exited ? std::move(result) : Ref{};
  }
  zuv::CaughtError error;
  Ref suppressed = zuv::call(exit.get(), error.type(), error.value(), error.traceback());
  close_in_background(merged_file);
  if (!suppressed) {
    error.become_context_of_current();
    return {};
  }
  int suppress = PyObject_IsTrue(suppressed.get());
  if (suppress < 0) {
    error.become_context_of_current();
    return {};
  }
  if (!suppress) {
    error.restore();
    return {};
  }
  // The context manager swallowed the error before a result existed.
  error.discard();
  PyErr_SetString(PyExc_UnboundLocalError,
                  "cannot access local variable 'result' where it is not associated with a value");
  return {};
}

// ---------------------------------------------------------------------------
// What the in-process merge shares with this one.

size_t count_block_openings(std::string_view text, std::string_view label, int marker_size) {
  size_t count = 0;
  const size_t size = static_cast<size_t>(marker_size);
  for (const LineSpan& span : split_universal_lines(text)) {
    std::string_view line = text.substr(span.begin, span.length);
    if (line.size() == size + 1 + label.size() && line.find_first_not_of('<') == size &&
        line[size] == ' ' && line.ends_with(label))
      ++count;
  }
  return count;
}

Ref merged_lines(std::string_view bytes, std::span<const Relabel> relabels) {
  // Decoding the whole text first reports invalid UTF-8 as a read would.
  if (!Ref::steal(
          PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr)))
    return {};
  std::vector<LineSpan> spans = split_universal_lines(bytes);
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result) return {};
  std::string line;
  for (size_t i = 0; i < spans.size(); ++i) {
    line.assign(bytes.substr(spans[i].begin, spans[i].length));
    if (spans[i].terminated) line.push_back('\n');
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), nullptr));
    for (const Relabel& relabel : relabels) {
      if (text && PyUnicode_GET_LENGTH(relabel.label) > 0)
        text = Ref::steal(PyUnicode_Replace(text.get(), relabel.path, relabel.label, -1));
    }
    if (!text) return {};
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return result;
}

Ref base_label(PyObject* current_name) {
  const zuv::Names& n = zuv::names();
  Py_ssize_t ends = PyUnicode_Tailmatch(current_name, n.current_suffix, 0, PY_SSIZE_T_MAX, 1);
  if (ends < 0) return {};
  if (!ends) return Ref::borrow(n.empty);
  Ref prefix = Ref::steal(PyUnicode_Substring(
      current_name, 0,
      PyUnicode_GET_LENGTH(current_name) - PyUnicode_GET_LENGTH(n.current_suffix)));
  return prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), n.base_suffix)) : Ref{};
}

}  // namespace merge
