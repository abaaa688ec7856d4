// `zuv config-git`: registers the drivers with git, or removes them.
//
// Configuration keys go through `git config` itself, so git's own rules for
// where each scope lives (GIT_CONFIG_GLOBAL, XDG, the system prefix) apply;
// only the attributes file is written here, since git has no command for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/atomic_write.hpp"
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "config-git";
constexpr const char* kAttributeLine = "*.ipynb merge=zuv diff=zuv";
constexpr const char* kDriverName = "pipeline notebook merge (zuv)";
// Sections this command owns in git's configuration.
constexpr std::array kSections = {"merge.zuv", "diff.zuv", "mergetool.zuv",
                                  "mergetool.zuv-incoming", "difftool.zuv"};

enum class Scope { repository, global, system };

const char* scope_flag(Scope scope) {
  switch (scope) {
    case Scope::global:
      return "--global";
    case Scope::system:
      return "--system";
    case Scope::repository:
      break;
  }
  return "--local";
}

// The command line of `zuv resolve` for `git mergetool --tool=zuv` (keeps
// the current side) or `--tool=zuv-incoming`.  git expands $MERGED itself.
std::string mergetool_command(const std::string& program, const char* side) {
  return program + " resolve \"$MERGED\" " + side + " --all";
}

// A word for the shell that git runs driver command lines with.
std::string shell_word(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+:@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string real_path(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// How git should start this program: plain `zuv` when the `zuv` that PATH
// finds is this very installation, else the installed script's full path
// (a virtual environment that is not activated is the common case).
std::string program_word() {
  std::string installed;
  PyObject* argv = PySys_GetObject("argv");  // borrowed, kept alive by sys
  if (argv && PyList_Check(argv) && PyList_GET_SIZE(argv) > 0) {
    std::string first = utf8(PyList_GET_ITEM(argv, 0));
    std::string base = first.substr(first.rfind('/') + 1);
    if (base == "zuv") installed = real_path(first);
  }
  if (installed.empty()) {
    // Run some other way (python -c, a test): the script beside the interpreter.
    PyObject* executable = PySys_GetObject("executable");
    if (executable && PyUnicode_Check(executable)) {
      std::string python = utf8(executable);
      installed = real_path(python.substr(0, python.rfind('/') + 1) + "zuv");
      if (installed.empty()) {
        // The interpreter of a virtual environment is often a link: keep
        // the environment's own bin folder, not the link's target.
        std::string candidate = python.substr(0, python.rfind('/') + 1) + "zuv";
        if (access(candidate.c_str(), X_OK) == 0) installed = candidate;
      }
    }
  }
  std::string on_path = find_on_path("zuv");
  if (!on_path.empty() && (installed.empty() || real_path(on_path) == installed)) return "zuv";
  if (installed.empty()) return "zuv";
  // Keep the unresolved path of the script when it exists: it names the
  // environment even if its folder is a link.
  return shell_word(installed);
}

bool git(const std::vector<std::string>& args, ProcessResult& result) {
  std::string error;
  if (run_git(args, result, error, true)) return true;
  failure(kCommand, error);
  return false;
}

// `git config --get` of one key in one scope, with ~ expanded; "" when unset.
std::string config_path_value(Scope scope, const char* key) {
  ProcessResult result;
  std::string error;
  if (!run_git({"config", scope_flag(scope), "--path", "--get", key}, result, error, true) ||
      result.status != 0)
    return "";
  std::string value = result.out;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

// The attributes file git reads for `scope`; "" with the reason printed.
std::string attributes_file(Scope scope) {
  if (scope == Scope::repository) {
    ProcessResult result;
    if (!git({"rev-parse", "--show-toplevel"}, result)) return "";
    std::string top = result.out;
    while (!top.empty() && top.back() == '\n') top.pop_back();
    if (result.status != 0 || top.empty()) {
      failure(kCommand,
              "not inside a git work tree; run it in a repository, or use --global or --system");
      return "";
    }
    return top + "/.gitattributes";
  }
  std::string configured = config_path_value(scope, "core.attributesFile");
  if (!configured.empty()) return configured;
  if (scope == Scope::system) return "/etc/gitattributes";
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base = xdg && *xdg ? std::string(xdg) : home_folder() + "/.config";
  if (base == "/.config" && home_folder().empty()) {
    failure(kCommand, "HOME is not set; cannot find the global attributes file");
    return "";
  }
  return base + "/git/attributes";
}

bool make_parent_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0777) < 0 && errno != EEXIST) {
      failure(kCommand, "cannot create " + folder + ": " + std::strerror(errno));
      return false;
    }
  }
  return true;
}

// Writes the attributes file: atomically over an existing one (keeping its
// permissions), as a new file otherwise; an empty result removes a file.
bool write_attributes(const std::string& path, const std::string& text, bool exists) {
  if (exists && text.empty()) {
    if (unlink(path.c_str()) == 0) return true;
    failure(kCommand, "cannot remove " + path + ": " + std::strerror(errno));
    return false;
  }
  if (exists) {
    if (io::replace_file(path.c_str(), text.data(), static_cast<Py_ssize_t>(text.size())))
      return true;
    python_failure(kCommand);
    return false;
  }
  if (!make_parent_folders(path)) return false;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  bool written = fd >= 0;
  for (size_t done = 0; written && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  int saved = errno;
  if (fd >= 0 && close(fd) < 0 && written) {
    written = false;
    saved = errno;
  }
  if (written) return true;
  if (fd >= 0) unlink(path.c_str());
  failure(kCommand, "cannot write " + path + ": " + std::strerror(saved));
  return false;
}

std::string trimmed(const std::string& line) {
  size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
}

// Adds or removes the attribute line; prints what changed.
bool update_attributes(const std::string& path, bool enable) {
  std::string text, error;
  struct stat info {};
  bool exists = stat(path.c_str(), &info) == 0;
  if (exists && !read_bytes(path, text, error)) {
    failure(kCommand, error);
    return false;
  }
  std::string kept;
  bool present = false;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, next - start);
    if (trimmed(line) == kAttributeLine) {
      present = true;
      if (enable) kept += line;
    } else {
      kept += line;
    }
    start = next;
  }
  if (enable == present) {
    std::printf("%s: already %s\n", escape_line(path).c_str(),
                enable ? (std::string("has ") + kAttributeLine).c_str() : "without the zuv line");
    return true;
  }
  if (enable) {
    if (!kept.empty() && kept.back() != '\n') kept += '\n';
    kept += std::string(kAttributeLine) + "\n";
  }
  if (!write_attributes(path, kept, exists)) return false;
  std::printf("%s: %s %s\n", escape_line(path).c_str(), enable ? "added" : "removed",
              kAttributeLine);
  return true;
}

bool set_config(Scope scope, const char* key, const std::string& value) {
  ProcessResult result;
  if (!git({"config", scope_flag(scope), key, value}, result)) return false;
  if (result.status != 0) {
    failure(kCommand,
            "git config " + std::string(key) + " failed: " + escape_line(trimmed(result.err)));
    return false;
  }
  std::printf("git config %s %s %s\n", scope_flag(scope), key,
              escape_line(shell_word(value)).c_str());
  return true;
}

bool enable(Scope scope) {
  std::string program = program_word();
  if (!set_config(scope, "merge.zuv.name", kDriverName) ||
      !set_config(scope, "merge.zuv.driver", program + " merge-driver %O %A %B %L %P") ||
      !set_config(scope, "diff.zuv.textconv", program + " textconv") ||
      !set_config(scope, "diff.zuv.command", program + " diff-driver"))
    return false;
  // The exit status tells git whether the file is resolved (1: conflicts
  // left, such as two cells that claim one name).
  if (!set_config(scope, "mergetool.zuv.cmd", mergetool_command(program, "--current")) ||
      !set_config(scope, "mergetool.zuv.trustExitCode", "true") ||
      !set_config(scope, "mergetool.zuv-incoming.cmd", mergetool_command(program, "--incoming")) ||
      !set_config(scope, "mergetool.zuv-incoming.trustExitCode", "true"))
    return false;
  // `git difftool -t zuv`: the page of each notebook, its path printed.
  return set_config(scope, "difftool.zuv.cmd",
                    program + " diff --difftool \"$LOCAL\" \"$REMOTE\" \"$MERGED\"");
}

// Removes this command's sections; a section that is not there is fine.
bool disable(Scope scope) {
  for (const char* section : kSections) {
    ProcessResult probe;
    if (!git({"config", scope_flag(scope), "--get-regexp", std::string("^") + section + "\\."},
             probe))
      return false;
    if (probe.status != 0) continue;  // nothing set in this section
    ProcessResult result;
    if (!git({"config", scope_flag(scope), "--remove-section", section}, result)) return false;
    if (result.status != 0) {
      failure(kCommand, "git config --remove-section " + std::string(section) +
                            " failed: " + escape_line(trimmed(result.err)));
      return false;
    }
    std::printf("git config %s --remove-section %s\n", scope_flag(scope), section);
  }
  return true;
}

}  // namespace

int run_config_git(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(
      args, {{"--enable", false}, {"--disable", false}, {"--global", false}, {"--system", false}},
      error);
  if (!parsed) return usage_error(kCommand, error);
  if (!parsed->positional.empty())
    return usage_error(kCommand, "unexpected argument " + escape_line(parsed->positional[0]));
  if (parsed->has("--enable") && parsed->has("--disable"))
    return usage_error(kCommand, "--enable and --disable exclude each other");
  if (parsed->has("--global") && parsed->has("--system"))
    return usage_error(kCommand, "--global and --system exclude each other");
  Scope scope = parsed->has("--global")   ? Scope::global
                : parsed->has("--system") ? Scope::system
                                          : Scope::repository;
  bool enabling = !parsed->has("--disable");

  // The attributes file first: outside a repository this refuses before
  // touching any configuration.
  std::string attributes = attributes_file(scope);
  if (attributes.empty()) return status::failure;
  bool done = enabling ? enable(scope) && update_attributes(attributes, true)
                       : disable(scope) && update_attributes(attributes, false);
  return done ? status::ok : status::failure;
}

}  // namespace zuv::cli
