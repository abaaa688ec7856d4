// zuv_weft_git.scripts.zuvmerge: the command-line merge driver.
//
// The module defines nothing callable; executing it is the program.  Its
// execution step imports what it needs and, only when the module's
// `__name__` is "__main__", parses the command line and merges one notebook.
// Module creation and execution are separate phases, so a launcher can create
// the module from its spec, rename it to "__main__" and then execute it.
//
// Exit status: 0 clean, 1 when this merge created a conflict (a copy placed
// beside its cell, a marked name neither input held, a source conflict block
// under this merge's labels), 2 usage, 3 when the merge failed (after the
// traceback).  The merge reports its own conflicts; marks and blocks already
// committed in an input are mentioned on standard error but need no person
// again.  A substituted `merge_files` reports nothing, so then the written
// notebook is read back and any mark in it counts.
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "notebook/conflict_count.hpp"
#include "py/error.hpp"
#include "py/imports.hpp"
#include "py/module.hpp"
#include "py/names.hpp"
#include "py/signal_exit.hpp"

namespace {

using zuv::Ref;

constexpr const char* kDescription =
    "Incorporates changers that lead from the <base-file> to <incoming-file> into <current-file>.";

using zuv::Names;
using zuv::names;

// The conflicts the merge reported, when it could report them.
struct Reported {
  bool known = false;
  Py_ssize_t cells = 0, parameters = 0, source_blocks = 0;
};

using Keyword = std::pair<PyObject*, PyObject*>;

// callable(*positional, **keywords); every object is borrowed.
Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> positional,
                       std::initializer_list<Keyword> keywords) {
  PyObject* argv[8];
  if (positional.size() + keywords.size() > std::size(argv)) {
    PyErr_SetString(PyExc_SystemError, "too many arguments for call_with_keywords");
    return {};
  }
  Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  if (!kwnames) return {};
  size_t n = 0;
  for (PyObject* value : positional) argv[n++] = value;
  Py_ssize_t k = 0;
  for (const Keyword& keyword : keywords) {
    PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(keyword.first));
    argv[n++] = keyword.second;
  }
  return Ref::steal(PyObject_Vectorcall(callable, argv, positional.size(), kwnames.get()));
}

bool set_global(PyObject* globals, PyObject* name, const Ref& value) {
  return value && PyDict_SetItem(globals, name, value.get()) == 0;
}

// `from zuv_weft_git.drivers import merge_files`, with the interpreter's
// ImportError when the package does not offer the name.
bool import_merge_files(PyObject* globals) {
  static const char* const package_name = "zuv_weft_git.drivers";
  Ref fromlist = Ref::steal(PyTuple_Pack(1, names().merge_files));
  if (!fromlist) return false;
  Ref package =
      Ref::steal(PyImport_ImportModuleLevel(package_name, globals, nullptr, fromlist.get(), 0));
  if (!package) return false;
  Ref merge_files = zuv::getattr(package.get(), names().merge_files);
  if (!merge_files) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref location = zuv::getattr(package.get(), "__file__");
    if (!location && !zuv::clear_expected({PyExc_AttributeError})) return false;
    Ref message =
        location && PyUnicode_Check(location.get())
            ? Ref::steal(PyUnicode_FromFormat("cannot import name 'merge_files' from '%s' (%U)",
                                              package_name, location.get()))
            : Ref::steal(PyUnicode_FromFormat(
                  "cannot import name 'merge_files' from '%s' (unknown location)", package_name));
    Ref name = zuv::str(package_name);
    if (!message || !name) return false;
    PyErr_SetImportError(message.get(), name.get(), location ? location.get() : Py_None);
    return false;
  }
  return set_global(globals, names().merge_files, merge_files);
}

// ---------------------------------------------------------------------------
// The program: steps run only as the main program.

bool build_parser(PyObject* globals) {
  const Names& n = names();
  Ref argparse = zuv::global(globals, n.argparse);
  if (!argparse) return false;
  Ref parser_class = zuv::getattr(argparse.get(), n.ArgumentParser);
  Ref description = zuv::str(kDescription);
  if (!parser_class || !description) return false;
  if (!set_global(globals, n.parser,
                  call_with_keywords(parser_class.get(), {}, {{n.description, description.get()}})))
    return false;

  struct Option {
    const char* text;
    bool required;
  };
  for (Option option : {Option{"--current-file", true}, Option{"--base-file", true},
                        Option{"--incoming-file", true}, Option{"--file-path", false}}) {
    Ref parser = zuv::global(globals, n.parser);
    Ref add_argument = parser ? zuv::getattr(parser.get(), n.add_argument) : Ref{};
    Ref str_type = zuv::global(globals, n.str);
    Ref text = zuv::str(option.text);
    if (!add_argument || !str_type || !text) return false;
    Ref added =
        option.required
            ? call_with_keywords(add_argument.get(), {text.get()},
                                 {{n.type, str_type.get()}, {n.required, Py_True}})
            : call_with_keywords(add_argument.get(), {text.get()}, {{n.type, str_type.get()}});
    if (!added) return false;
  }
  Ref parser = zuv::global(globals, n.parser);
  Ref add_argument = parser ? zuv::getattr(parser.get(), n.add_argument) : Ref{};
  Ref short_flag = zuv::str("-v");
  Ref long_flag = zuv::str("--verbose");
  Ref store_true = zuv::str("store_true");
  if (!add_argument || !short_flag || !long_flag || !store_true) return false;
  return static_cast<bool>(call_with_keywords(
      add_argument.get(), {short_flag.get(), long_flag.get()}, {{n.action, store_true.get()}}));
}

Ref arg(PyObject* globals, PyObject* name) {
  Ref args = zuv::global(globals, names().args);
  return args ? zuv::getattr(args.get(), name) : Ref{};
}

bool run_merge(PyObject* globals, Reported& reported) {
  const Names& n = names();
  Ref parser = zuv::global(globals, n.parser);
  if (!parser || !set_global(globals, n.args, zuv::call_method(parser.get(), n.parse_args)))
    return false;

  Ref verbose = arg(globals, n.verbose);
  int is_verbose = verbose ? PyObject_IsTrue(verbose.get()) : -1;
  if (is_verbose < 0) return false;
  if (is_verbose) {
    Ref logging = zuv::global(globals, n.logging);
    Ref basic_config = logging ? zuv::getattr(logging.get(), n.basicConfig) : Ref{};
    Ref debug = logging ? zuv::getattr(logging.get(), n.DEBUG) : Ref{};
    if (!basic_config || !debug) return false;
    if (!call_with_keywords(basic_config.get(), {}, {{n.level, debug.get()}})) return false;
  }

  Ref file_path = arg(globals, n.file_path);
  int given = file_path ? PyObject_IsTrue(file_path.get()) : -1;
  if (given < 0) return false;
  if (!set_global(globals, n.destination_path, given ? file_path : arg(globals, n.current_file)))
    return false;

  Ref merge_files = zuv::global(globals, n.merge_files);
  if (!merge_files) return false;
  Ref current_file = arg(globals, n.current_file);
  if (!current_file) return false;
  Ref base_file = arg(globals, n.base_file);
  if (!base_file) return false;
  Ref incoming_file = arg(globals, n.incoming_file);
  if (!incoming_file) return false;
  Ref destination = zuv::global(globals, n.destination_path);
  if (!destination) return false;
  if (!call_with_keywords(merge_files.get(), {},
                          {{n.current_file_path, current_file.get()},
                           {n.base_file_path, base_file.get()},
                           {n.incoming_file_path, incoming_file.get()},
                           {n.file_path, destination.get()}}))
    return false;
  // The genuine merge_files keeps the conflicts it created for this thread.
  Ref module = Ref::steal(PyImport_ImportModule("zuv_weft_git.drivers.notebook_merge"));
  Ref genuine = module ? zuv::getattr(module.get(), n.merge_files) : Ref{};
  if (!genuine) return false;
  if (genuine.get() != merge_files.get()) return true;
  Ref last = zuv::getattr(module.get(), n._last_conflicts);
  Ref result = last ? zuv::call(last.get()) : Ref{};
  Py_ssize_t copies, cells, parameters, blocks;
  if (!result || !PyArg_ParseTuple(result.get(), "nnnn", &copies, &cells, &parameters, &blocks))
    return false;
  reported = {true, copies + cells, parameters, blocks};
  return true;
}

// ---------------------------------------------------------------------------
// Conflicts left in the merged notebook.

// The whole file as UTF-8 text, with the OSError that open() raises.
Ref read_text(PyObject* path) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return {};
  Ref fs_path = Ref::steal(encoded);
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(PyBytes_AS_STRING(fs_path.get()), "rbe"),
                                             std::fclose);
  if (!file) return Ref::steal(PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path));
  std::string bytes;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
  if (std::ferror(file.get()))
    return Ref::steal(PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path));
  return Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

// Reads the written notebook back; with conflicts left, reports them on
// standard error and raises SystemExit(1).
bool check_merged_notebook(PyObject* globals, const Reported& reported) {
  Ref path = arg(globals, names().current_file);
  if (!path) return false;
  Ref text = read_text(path.get());
  if (!text) return false;
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  Ref loads = json ? zuv::getattr(json.get(), "loads") : Ref{};
  Ref notebook = loads ? zuv::call(loads.get(), text.get()) : Ref{};
  if (!notebook) return false;

  zuv::cli::ConflictCount count;
  if (!zuv::cli::count_conflicts(notebook.get(), count)) return false;
  Ref shown = zuv::global(globals, names().destination_path);
  if (!shown) return false;
  bool created = reported.known ? reported.cells + reported.parameters + reported.source_blocks > 0
                                : count.total() > 0;
  if (!created) {
    if (count.total() > 0)
      PySys_FormatStderr(
          "zuvmerge: conflict marks from the inputs remain in %S: cells %zd, parameters %zd, "
          "source blocks %zd\n",
          shown.get(), count.cells, count.parameters, count.source_blocks);
    return true;
  }
  if (reported.known) count = {reported.cells, reported.parameters, reported.source_blocks};
  PySys_FormatStderr(
      "zuvmerge: conflicts remain in %S: cells %zd, parameters %zd, source blocks %zd\n",
      shown.get(), count.cells, count.parameters, count.source_blocks);
  Ref status = Ref::steal(PyLong_FromLong(1));
  if (!status) return false;
  PyErr_SetObject(PyExc_SystemExit, status.get());
  return false;
}

bool run_module(PyObject* module) {
  Ref globals = Ref::borrow(PyModule_GetDict(module));
  if (!globals) return false;
  if (!zuv::import_global(module, "argparse") || !zuv::import_global(module, "logging") ||
      !import_merge_files(globals.get()))
    return false;

  Ref name = zuv::global(globals.get(), names().dunder_name);
  if (!name) return false;
  int is_main = PyObject_RichCompareBool(name.get(), names().dunder_main, Py_EQ);
  if (is_main <= 0) return is_main == 0;

  Reported reported;
  if (zuv::exit_cleanly_on_signals() && build_parser(globals.get()) &&
      run_merge(globals.get(), reported) && check_merged_notebook(globals.get(), reported))
    return true;
  // A failed merge: the traceback, then status 3, so that scripts can tell a
  // failure from conflicts.  SystemExit (usage, conflicts, signals) and
  // interrupts pass unchanged.
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_PrintEx(0);
    Ref status = Ref::steal(PyLong_FromLong(3));
    if (status) PyErr_SetObject(PyExc_SystemExit, status.get());
  }
  return false;
}

}  // namespace

PyMODINIT_FUNC PyInit_zuvmerge() { return zuv::init_module<run_module>("zuvmerge"); }
