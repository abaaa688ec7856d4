// zuv_weft_git.scripts.zuv: the `zuv` program.
//
// Like `zuvmerge`, executing the module is the program: when the module's
// `__name__` is "__main__" its execution step reads `sys.argv`, runs one
// subcommand from the command table and ends the process with that command's
// exit status (SystemExit).  The module imports nothing at start beyond
// `sys`; each subcommand imports what it needs, so `zuv --help` and
// `zuv textconv` start fast.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "py/collector_pause.hpp"
#include "py/imports.hpp"
#include "py/module.hpp"
#include "py/signal_exit.hpp"
#include "zuv/commands.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kProgramUsage = "usage: zuv [--help] COMMAND [ARGS...]\n";

void print_program_help(std::FILE* stream) {
  std::fputs(kProgramUsage, stream);
  std::fputs("\nGit tools for pipeline notebooks.\n\ncommands:\n", stream);
  for (const Command& command : command_table())
    std::fprintf(stream, "  %-14s %s\n", command.name, command.summary);
  std::fputs("\nRun `zuv COMMAND --help` for a command's arguments.\n", stream);
}

void print_command_help(const Command& command) { std::printf("usage: %s\n", command.usage); }

// Help only as a subcommand's single argument: anywhere else "-h" or
// "--help" may be a file's name (git passes paths such as %P verbatim), and
// so may even that argument of a command git runs (`git diff` converts the
// work-tree file "-h" with `zuv textconv -h`).
bool asks_for_help(const Command& command, const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0] != "-h" && args[0] != "--help")) return false;
  struct stat info {};
  return !command.takes_git_paths || stat(args[0].c_str(), &info) != 0;
}

// sys.argv[1:] as UTF-8 strings; arguments the file-system encoding could
// not decode come back as their original bytes.
bool command_line(std::vector<std::string>& out) {
  PyObject* argv = PySys_GetObject("argv");  // borrowed, kept alive by sys
  if (!argv || !PyList_Check(argv)) {
    PyErr_SetString(PyExc_RuntimeError, "sys.argv is not a list");
    return false;
  }
  Ref items = Ref::steal(PySequence_List(argv));
  if (!items) return false;
  for (Py_ssize_t i = 1; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "sys.argv holds a non-string");
      return false;
    }
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(item));
    if (!bytes) return false;
    out.emplace_back(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
  return true;
}

int dispatch(const std::vector<std::string>& args) {
  if (args.empty()) {
    print_program_help(stderr);
    return status::usage;
  }
  const std::string& name = args.front();
  if (name == "-h" || name == "--help") {
    print_program_help(stdout);
    return status::ok;
  }
  const Command* command = find_command(name);
  if (!command) {
    std::fputs(kProgramUsage, stderr);
    std::fprintf(stderr, "zuv: error: unknown command '%s' (see `zuv --help`)\n",
                 escape_control(name).c_str());
    return status::usage;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (asks_for_help(*command, rest)) {
    print_command_help(*command);
    return status::ok;
  }
  return command->run(rest);
}

// Runs the program and gives its exit status; false with an exception set
// when the interpreter itself must take over (KeyboardInterrupt, a failure
// to read the command line).
bool run_program(int& result) {
  // One command is one short process: it parses notebooks and builds
  // documents, none of which form cycles worth collecting, and collections
  // triggered while parsing large notebooks walked every container made.
  CollectorPause pause;
  // Every notebook the command reads is parsed by one scanner.
  JsonScannerScope scanner;
  std::vector<std::string> args;
  if (!command_line(args)) return false;
  try {
    result = dispatch(args);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::exception& error) {
    result = failure("", error.what());
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return true;
}

bool run_module(PyObject* module) {
  Ref name = getattr(module, "__name__");
  if (!name) return false;
  bool is_main =
      PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0;
  if (!is_main) return true;
  int result = status::ok;
  if (!run_program(result)) return false;
  if (result == status::ok) return true;
  Ref code = Ref::steal(PyLong_FromLong(result));
  if (!code) return false;
  PyErr_SetObject(PyExc_SystemExit, code.get());
  return false;
}

}  // namespace

int usage_error(const char* command_name, const std::string& message) {
  const Command* command = find_command(command_name);
  if (command) {
    std::string usage = command->usage;
    std::fprintf(stderr, "usage: %s\n", usage.substr(0, usage.find('\n')).c_str());
  }
  std::fprintf(stderr, "zuv %s: error: %s\n", command_name, message.c_str());
  return status::usage;
}

int failure(const char* command_name, const std::string& message) {
  if (*command_name)
    std::fprintf(stderr, "zuv %s: error: %s\n", command_name, message.c_str());
  else
    std::fprintf(stderr, "zuv: error: %s\n", message.c_str());
  return status::failure;
}

int python_failure(const char* command_name) {
  // SIGTERM or SIGHUP, where the command asked for a clean exit on them.
  if (int signal_status = 0; pending_exit_status(signal_status) && signal_status > 128) {
    PyErr_Clear();
    std::fprintf(stderr, "zuv %s: stopped by signal %d\n", command_name, signal_status - 128);
    return signal_status;
  }
  return failure(command_name, take_python_error());
}

}  // namespace zuv::cli

PyMODINIT_FUNC PyInit_zuv() { return zuv::init_module<zuv::cli::run_module>("zuv"); }
