// _merge_source: the three-way merge of one cell's source lines with
// `git merge-file`, run through a GitPython command object in a temporary
// directory of its own.
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
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "io/file_io.hpp"
#include "notebook_merge/merge.hpp"
#include "py/error.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;
using zuv::io::FileDescriptor;
using zuv::io::open_file;
using zuv::io::read_file;
using zuv::io::write_all;

struct SourceNames {
  PyObject* tempfile = zuv::interned("tempfile");
  PyObject* temporary_directory = zuv::interned("TemporaryDirectory");
  PyObject* enter = zuv::interned("__enter__");
  PyObject* exit = zuv::interned("__exit__");
  PyObject* os = zuv::interned("os");
  PyObject* path = zuv::interned("path");
  PyObject* join = zuv::interned("join");
  PyObject* git = zuv::interned("git");
  PyObject* git_command_error = zuv::interned("GitCommandError");
  PyObject* status = zuv::interned("status");
  PyObject* merge_file = zuv::interned("merge_file");
  PyObject* current = zuv::interned("current");
  PyObject* base = zuv::interned("base");
  PyObject* incoming = zuv::interned("incoming");
  PyObject* empty = zuv::interned("");
};

const SourceNames& source_names() {
  static const SourceNames n;
  return n;
}

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
  Ref text = Ref::steal(PyUnicode_Join(source_names().empty, lines));
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

// Reads the merged file as UTF-8 text, one str per line with universal
// newlines, relabelling the two working paths in every line.
Ref read_merged_lines(PyObject* path, PyObject* current_path, PyObject* current_name,
                      PyObject* incoming_path, PyObject* incoming_name, FileDescriptor& file) {
  std::string bytes;
  if (!read_file(path, bytes, file)) return {};
  // Decoding the whole text first reports invalid UTF-8 as a read would.
  if (!Ref::steal(
          PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr)))
    return {};
  bool relabel_current = PyUnicode_GET_LENGTH(current_name) > 0;
  bool relabel_incoming = PyUnicode_GET_LENGTH(incoming_name) > 0;

  std::vector<LineSpan> spans = split_universal_lines(bytes);
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result) return {};
  std::string line;
  for (size_t i = 0; i < spans.size(); ++i) {
    line.assign(bytes, spans[i].begin, spans[i].length);
    if (spans[i].terminated) line.push_back('\n');
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), nullptr));
    if (text && relabel_current)
      text = Ref::steal(PyUnicode_Replace(text.get(), current_path, current_name, -1));
    if (text && relabel_incoming)
      text = Ref::steal(PyUnicode_Replace(text.get(), incoming_path, incoming_name, -1));
    if (!text) return {};
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return result;
}

// The merged file's descriptor stays open until its directory is gone, so
// removing the directory only unlinks the name.  The last close frees the
// inode, and that is slow on a disk file system: git rewrote the file in
// place, and ext4 (auto_da_alloc) starts writing such a file to disk when it
// is closed, so freeing it waits for that write, several hundred
// microseconds for a file nobody can reach any more.  A short-lived thread
// does that last close.
void close_in_background(FileDescriptor& file) noexcept {
  int fd = file.release();
  if (fd < 0) return;
  try {
    std::thread([fd] { ::close(fd); }).detach();
  } catch (...) {  // no thread to be had: close here, as usual
    ::close(fd);
  }
}

// ---------------------------------------------------------------------------
// The git call.

// Git exits with the number of conflicts (at most 127) when it merged; any
// other status means it refused or failed.
bool is_conflict_status(PyObject* error) {
  Ref status = zuv::getattr(error, source_names().status);
  if (!status) {
    PyErr_Clear();
    return false;
  }
  if (!PyLong_Check(status.get())) return false;
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(status.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return overflow == 0 && value >= 1 && value <= 127;
}

// g.merge_file(current_path, base_path, incoming_path); conflicts reported
// as git.GitCommandError are an ordinary outcome.
bool run_merge_file(PyObject* globals, PyObject* g, PyObject* const paths[3]) {
  Ref done = zuv::call_method(g, source_names().merge_file, paths[0], paths[1], paths[2]);
  if (done) return true;
  zuv::CaughtError error;
  Ref git = zuv::global(globals, source_names().git);
  Ref error_class = git ? zuv::getattr(git.get(), source_names().git_command_error) : Ref{};
  if (!error_class) {
    error.become_context_of_current();
    return false;
  }
  if (PyErr_GivenExceptionMatches(error.type(), error_class.get()) &&
      is_conflict_status(error.value()))
    return true;
  error.restore();
  return false;
}

// ---------------------------------------------------------------------------
// The merge itself: everything that happens inside the temporary directory.

Ref merge_in_directory(PyObject* globals, PyObject* directory, PyObject* g,
                       PyObject* const sources[3], PyObject* current_name, PyObject* incoming_name,
                       FileDescriptor& merged_file) {
  const SourceNames& n = source_names();
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
  if (!run_merge_file(globals, g, paths)) return {};
  return read_merged_lines(current_path.get(), current_path.get(),
                           current_name == Py_None ? n.empty : current_name, incoming_path.get(),
                           incoming_name == Py_None ? n.empty : incoming_name, merged_file);
}

Ref merge_source_impl(const CallArgs& a) {
  return merge_source(a.globals, a[0], a[1], a[2], a[3], a[4], a[5]);
}

constexpr Param kMergeSourceParams[] = {
    {"g", "git.cmd.Git"},
    {"current", "List[str]", Exact::list},
    {"base", "List[str]", Exact::list},
    {"incoming", "List[str]", Exact::list},
    {"current_name", "Optional[str]", Exact::str, true, true},
    {"incoming_name", "Optional[str]", Exact::str, true, true},
};

constexpr FunctionSpec kMergeSource{"_merge_source", nullptr, kMergeSourceParams, "List[str]",
                                    merge_source_impl};

}  // namespace

Ref merge_source(PyObject* globals, PyObject* g, PyObject* current, PyObject* base,
                 PyObject* incoming, PyObject* current_name, PyObject* incoming_name) {
  // Direct callers get the checks that the function's parameters make.
  PyObject* const arguments[] = {g, current, base, incoming, current_name, incoming_name};
  for (size_t i = 0; i < std::size(arguments); ++i) {
    const Param& p = kMergeSourceParams[i];
    if (!zuv::check_argument(arguments[i], p.exact, p.none_ok, p.name)) return {};
  }
  const SourceNames& n = source_names();

  // with tempfile.TemporaryDirectory() as directory: ...
  Ref tempfile = zuv::global(globals, n.tempfile);
  if (!tempfile) return {};
  Ref factory = zuv::getattr(tempfile.get(), n.temporary_directory);
  if (!factory) return {};
  Ref manager = zuv::call(factory.get());
  if (!manager) return {};
  Ref enter = zuv::getattr(manager.get(), n.enter);
  if (!enter) return {};
  Ref exit = zuv::getattr(manager.get(), n.exit);
  if (!exit) return {};
  Ref directory = zuv::call(enter.get());
  if (!directory) return {};

  PyObject* const sources[3] = {current, base, incoming};
  FileDescriptor merged_file;
  Ref result = merge_in_directory(globals, directory.get(), g, sources, current_name, incoming_name,
                                  merged_file);
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
  PyErr_SetString(PyExc_UnboundLocalError,
                  "cannot access local variable 'result' where it is not associated with a value");
  return {};
}

bool add_merge_source(PyObject* module) {
  source_names();
  if (PyErr_Occurred()) return false;
  return zuv::add_function(module, kMergeSource);
}

}  // namespace merge
