// `zuv config-git`: registers the drivers with git, or removes them.
//
// Configuration keys go through `git config` itself, so git's own rules for
// where each scope lives (GIT_CONFIG_GLOBAL, XDG, the system prefix) apply;
// only the attributes file is written here, since git has no command for it.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

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
// Sections this command writes keys into in git's configuration.
constexpr std::array kSections = {
    "merge.zuv",   "diff.zuv", "mergetool.zuv", "mergetool.zuv-current", "mergetool.zuv-incoming",
    "difftool.zuv"};
// A name for the attributes git applies to notebooks.
constexpr const char* kProbePath = "zuv-probe.ipynb";

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
    std::string first = utf8(PyList_GET_ITEM(argv, 0));  // "" for anything but a str
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
    if (result.status != 0 && result.status != 128) {  // 128: git's own "not a repository"
      std::string why = result.err;
      while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
      failure(kCommand, "git rev-parse failed (status " + std::to_string(result.status) +
                            "): " + escape_line(why));
      return "";
    }
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
// `already` tells whether the file held the line before (enabling).
bool update_attributes(const std::string& path, bool enable, bool& already) {
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
      // A last line without a newline: the newline before it was added
      // with it, for a file that ended without one.
      else if (end == std::string::npos && !kept.empty() && kept.back() == '\n')
        kept.pop_back();
    } else {
      kept += line;
    }
    start = next;
  }
  already = present;
  if (enable && present) return true;  // reported once git's view is known
  if (!enable && !present) {
    std::printf("%s: already %s\n", escape_line(path).c_str(), "without the zuv line");
    return true;
  }
  if (enable) {
    // A file that ends without a newline keeps ending without one, so that
    // removing the line gives back the very same bytes.
    kept += !kept.empty() && kept.back() != '\n' ? "\n" + std::string(kAttributeLine)
                                                 : std::string(kAttributeLine) + "\n";
  }
  if (!write_attributes(path, kept, exists)) return false;
  std::printf("%s: %s %s\n", escape_line(path).c_str(), enable ? "added" : "removed",
              kAttributeLine);
  return true;
}

// The keys this command writes, each with its value: `program` followed by
// `value`, or `value` alone; `earlier` is the value earlier versions wrote,
// which --disable removes too.
struct OwnedKey {
  const char* key = nullptr;
  bool program = false;
  const char* value = nullptr;
  const char* earlier = nullptr;
};
constexpr std::array<OwnedKey, 11> kOwnedKeys = {{
    {"merge.zuv.name", false, kDriverName},
    {"merge.zuv.driver", true, " merge-driver %O %A %B %L %P"},
    {"diff.zuv.textconv", true, " textconv"},
    {"diff.zuv.command", true, " diff-driver"},
    // The exit status tells git whether the file is resolved (1: conflicts
    // left, such as two cells that claim one name).  git expands $MERGED,
    // which may start with "-": it comes after "--".
    {"mergetool.zuv.cmd", true, " resolve --current --all -- \"$MERGED\"",
     " resolve \"$MERGED\" --current --all"},
    {"mergetool.zuv.trustExitCode", false, "true"},
    // The same tool under the name that says which side it keeps.
    {"mergetool.zuv-current.cmd", true, " resolve --current --all -- \"$MERGED\""},
    {"mergetool.zuv-current.trustExitCode", false, "true"},
    {"mergetool.zuv-incoming.cmd", true, " resolve --incoming --all -- \"$MERGED\"",
     " resolve \"$MERGED\" --incoming --all"},
    {"mergetool.zuv-incoming.trustExitCode", false, "true"},
    // `git difftool -t zuv`: the page of each notebook, its path printed.
    {"difftool.zuv.cmd", true, " diff --difftool \"$LOCAL\" \"$REMOTE\" \"$MERGED\""},
}};

// Whether `value` is what this command writes for `key`, from any
// installation of zuv (the program word names a `zuv`).
bool written_as(const OwnedKey& key, const char* written, const std::string& value) {
  if (!key.program) return value == written;
  const std::string suffix = written;
  if (value.size() <= suffix.size() ||
      value.compare(value.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  std::string word = value.substr(0, value.size() - suffix.size());
  if (word.size() >= 2 && word.front() == '\'' && word.back() == '\'')
    word = word.substr(1, word.size() - 2);
  return word == "zuv" || (word.size() > 4 && word.compare(word.size() - 4, 4, "/zuv") == 0);
}

bool written_here(const OwnedKey& key, const std::string& value) {
  return written_as(key, key.value, value) || (key.earlier && written_as(key, key.earlier, value));
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
  for (const OwnedKey& key : kOwnedKeys)
    if (!set_config(scope, key.key, key.program ? program + key.value : std::string(key.value)))
      return false;
  return true;
}

// The values of `key` in one scope (git config --get-all), one per line.
bool config_values(Scope scope, const char* key, std::vector<std::string>& values) {
  ProcessResult result;
  if (!git({"config", scope_flag(scope), "--get-all", key}, result)) return false;
  values.clear();
  if (result.status == 1) return true;  // not set
  if (result.status != 0) {
    failure(kCommand, "git config --get-all " + std::string(key) +
                          " failed: " + escape_line(trimmed(result.err)));
    return false;
  }
  for (size_t start = 0; start < result.out.size();) {
    size_t end = result.out.find('\n', start);
    if (end == std::string::npos) end = result.out.size();
    values.push_back(result.out.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Where a section lives ("" when git names no file), from the origin git
// shows for its first key.
std::string section_file(Scope scope, const std::string& section) {
  ProcessResult result;
  std::string error;
  if (!run_git(
          {"config", scope_flag(scope), "--show-origin", "--get-regexp", "^" + section + "\\."},
          result, error, true) ||
      result.status != 0 || result.out.compare(0, 5, "file:") != 0)
    return "";
  std::string path = result.out.substr(5, result.out.find('\t') - 5);
  if (path.empty() || path[0] == '/') return path;
  // git names the repository's file relative to the top of the work tree.
  ProcessResult top;
  if (!run_git({"rev-parse", "--show-toplevel"}, top, error, true) || top.status != 0) return "";
  while (!top.out.empty() && top.out.back() == '\n') top.out.pop_back();
  return top.out + "/" + path;
}

std::string lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Whether every header of `section` ("merge.zuv") in the configuration
// text is followed by nothing but blank lines up to the next header: only
// then may the section go without losing a comment of the user.
bool section_blank(const std::string& text, const std::string& section) {
  const size_t dot = section.find('.');
  const std::string wanted = "[" + section.substr(0, dot) + " \"" + section.substr(dot + 1) + "\"]";
  bool inside = false;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      const std::string header =
          line.substr(0, close == std::string::npos ? line.size() : close + 1);
      // Section names ignore case, subsection names do not.
      const size_t quote = header.find('"');
      inside = quote != std::string::npos &&
               lowered(header.substr(0, quote)) == lowered(wanted.substr(0, wanted.find('"'))) &&
               header.substr(quote) == wanted.substr(wanted.find('"'));
      if (inside && close != std::string::npos && !trimmed(line.substr(close + 1)).empty())
        return false;  // a key or comment on the header's line
      continue;
    }
    if (inside && !line.empty()) return false;
  }
  return true;
}

// Removes the keys this command wrote while they still hold what it wrote;
// a section goes only when nothing of the user's is left in it.
bool disable(Scope scope) {
  std::array<std::string, kSections.size()> files;
  for (size_t i = 0; i < kSections.size(); ++i) files[i] = section_file(scope, kSections[i]);
  for (const OwnedKey& key : kOwnedKeys) {
    std::vector<std::string> values;
    if (!config_values(scope, key.key, values)) return false;
    if (values.empty()) continue;
    if (values.size() != 1 || !written_here(key, values[0])) {
      std::printf("git config %s %s: kept (not the value zuv writes)\n", scope_flag(scope),
                  key.key);
      continue;
    }
    ProcessResult result;
    if (!git({"config", scope_flag(scope), "--unset", key.key}, result)) return false;
    if (result.status != 0) {
      failure(kCommand, "git config --unset " + std::string(key.key) +
                            " failed: " + escape_line(trimmed(result.err)));
      return false;
    }
    std::printf("git config %s --unset %s\n", scope_flag(scope), key.key);
  }
  for (size_t i = 0; i < kSections.size(); ++i) {
    const char* section = kSections[i];
    ProcessResult probe;
    if (!git({"config", scope_flag(scope), "--get-regexp", std::string("^") + section + "\\."},
             probe))
      return false;
    if (probe.status == 0) continue;  // the user's keys are left in it
    // The section's file, as git named it while the section had keys.
    std::string text, error;
    if (files[i].empty() || !read_bytes(files[i], text, error) || !section_blank(text, section))
      continue;
    ProcessResult result;
    if (!git({"config", scope_flag(scope), "--remove-section", section}, result)) return false;
    if (result.status != 0) continue;  // no header left: git already dropped it
    std::printf("git config %s --remove-section %s\n", scope_flag(scope), section);
  }
  return true;
}

// One line of an attributes file that sets `attribute` for `relative` (a
// path relative to the folder the file applies to; the last such line of the
// file wins), as "FILE:LINE: TEXT"; "" if none.
std::string line_setting(const std::string& path, const std::string& attribute,
                         const std::string& relative) {
  std::string text, error;
  if (path.empty() || !read_bytes(path, text, error)) return "";
  std::string found;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#' || line[0] == '"' || line.compare(0, 6, "[attr]") == 0)
      continue;
    const size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) continue;
    std::string pattern = line.substr(0, gap);
    // A pattern with a slash is anchored where the file applies; one
    // without matches the file's name.
    const bool anchored = pattern.find('/') != std::string::npos;
    if (anchored && pattern[0] == '/') pattern.erase(0, 1);
    const std::string name_only = relative.substr(relative.rfind('/') + 1);
    if (fnmatch(pattern.c_str(), anchored ? relative.c_str() : name_only.c_str(),
                anchored ? FNM_PATHNAME : 0) != 0)
      continue;
    bool sets = false;
    for (size_t at = gap; at < line.size();) {
      const size_t word = line.find_first_not_of(" \t", at);
      if (word == std::string::npos) break;
      size_t stop = line.find_first_of(" \t", word);
      if (stop == std::string::npos) stop = line.size();
      std::string name = line.substr(word, stop - word);
      at = stop;
      if (name[0] == '-' || name[0] == '!') name.erase(0, 1);
      name = name.substr(0, name.find('='));
      // `binary` is git's built-in macro for -diff -merge -text.
      if (name == attribute || name == "binary") sets = true;
    }
    if (sets) {
      found = path;
      found.append(":").append(std::to_string(number)).append(": ").append(line);
    }
  }
  return found;
}

// A temporary bare repository for asking git about attributes outside any
// work tree; removed with this holder.
class ScratchRepository {
 public:
  ScratchRepository() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zuv-config-git-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ScratchRepository(const ScratchRepository&) = delete;
  ScratchRepository& operator=(const ScratchRepository&) = delete;
  ~ScratchRepository() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The attribute files git reads for a path, the strongest first: the
// repository's info/attributes, the .gitattributes of the path's folder and
// of each folder above it, then the global and the system file.  Each with
// the path relative to the folder it applies to.
struct AttributeFiles {
  std::string info;                 // "" outside a repository
  std::string top;                  // the work tree's top folder, "" outside one
  std::vector<std::string> shared;  // global, system
};

std::string origin_of(const AttributeFiles& files, const std::string& path,
                      const std::string& attribute) {
  std::string origin = line_setting(files.info, attribute, path);
  if (!files.top.empty())
    for (std::size_t cut = path.size(); origin.empty() && cut != std::string::npos;) {
      cut = cut == 0 ? std::string::npos : path.rfind('/', cut - 1);
      const std::string folder = cut == std::string::npos ? "" : path.substr(0, cut);
      const std::string relative = cut == std::string::npos ? path : path.substr(cut + 1);
      origin =
          line_setting(files.top + "/" + (folder.empty() ? "" : folder + "/") + ".gitattributes",
                       attribute, relative);
    }
  for (std::size_t i = 0; origin.empty() && i < files.shared.size(); ++i)
    origin = line_setting(files.shared[i], attribute, path);
  return origin;
}

// `git check-attr -z merge diff` of `paths`, in batches: (path, attribute,
// value) for every attribute that is not zuv.
bool attributes_not_zuv(const std::vector<std::string>& where,
                        const std::vector<std::string>& paths,
                        std::vector<std::array<std::string, 3>>& found) {
  constexpr std::size_t kBatch = 500;
  for (std::size_t first = 0; first < paths.size(); first += kBatch) {
    std::vector<std::string> args = where;
    for (const char* word : {"check-attr", "-z", "merge", "diff", "--"}) args.emplace_back(word);
    args.insert(
        args.end(), paths.begin() + static_cast<std::ptrdiff_t>(first),
        paths.begin() + static_cast<std::ptrdiff_t>(std::min(paths.size(), first + kBatch)));
    ProcessResult result;
    if (!git(args, result)) return false;
    if (result.status != 0) {
      failure(kCommand, "git check-attr failed: " + escape_line(trimmed(result.err)));
      return false;
    }
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < result.out.size();) {
      const std::size_t end = result.out.find('\0', at);
      if (end == std::string::npos) break;
      fields.push_back(result.out.substr(at, end - at));
      at = end + 1;
    }
    for (std::size_t i = 0; i + 2 < fields.size(); i += 3)
      if (fields[i + 2] != "zuv") found.push_back({fields[i], fields[i + 1], fields[i + 2]});
  }
  return true;
}

// The notebooks in the work tree (tracked, or new and not ignored), and a new
// notebook in every subfolder holding a .gitattributes file: a subfolder's
// .gitattributes can turn zuv off for its notebooks only, also for those not
// written yet.
bool work_tree_notebooks(const std::vector<std::string>& where, std::vector<std::string>& paths) {
  std::vector<std::string> args = where;
  for (const char* word : {"ls-files", "-z", "--cached", "--others", "--exclude-standard", "--",
                           "*.ipynb", "*/.gitattributes"})
    args.emplace_back(word);
  ProcessResult result;
  if (!git(args, result)) return false;
  if (result.status != 0) {
    failure(kCommand, "git ls-files failed: " + escape_line(trimmed(result.err)));
    return false;
  }
  for (std::size_t at = 0; at < result.out.size();) {
    const std::size_t end = result.out.find('\0', at);
    if (end == std::string::npos) break;
    std::string path = result.out.substr(at, end - at);
    static constexpr std::string_view kAttributes = "/.gitattributes";
    if (path.ends_with(kAttributes))
      path = path.substr(0, path.size() - kAttributes.size()) + "/" + kProbePath;
    if (!path.empty() && (paths.empty() || paths.back() != path)) paths.push_back(std::move(path));
    at = end + 1;
  }
  return true;
}

// Asks git which merge and diff attributes notebooks get, after writing: a
// new notebook at the top (the probe) and every tracked one.  Prints each
// attribute that is not zuv with the line that sets it (on standard error);
// `used` tells whether git uses zuv for all of them.
bool check_effective(bool& used) {
  std::vector<std::string> where;  // git's options that choose the repository
  AttributeFiles files;
  ProcessResult top;
  std::string error;
  ScratchRepository scratch_holder;
  if (run_git({"rev-parse", "--show-toplevel", "--absolute-git-dir"}, top, error, true) &&
      top.status == 0) {
    const size_t cut = top.out.find('\n');
    files.top = top.out.substr(0, cut);
    std::string git_dir = top.out.substr(cut + 1);
    while (!git_dir.empty() && git_dir.back() == '\n') git_dir.pop_back();
    where = {"-C", files.top};
    files.info = git_dir + "/info/attributes";
  } else {
    ProcessResult made;
    if (scratch_holder.path().empty() ||
        !git({"init", "-q", "--bare", scratch_holder.path()}, made))
      return false;
    if (made.status != 0) {
      failure(kCommand, "git init failed: " + escape_line(trimmed(made.err)));
      return false;
    }
    where = {"--git-dir=" + scratch_holder.path()};
  }
  std::string global = config_path_value(Scope::global, "core.attributesFile");
  if (global.empty()) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg)
      global = std::string(xdg) + "/git/attributes";
    else if (!home_folder().empty())
      global = home_folder() + "/.config/git/attributes";
  }
  files.shared.push_back(global);
  const char* no_system = std::getenv("GIT_ATTR_NOSYSTEM");
  if (!no_system || !*no_system) {
    std::string system = config_path_value(Scope::system, "core.attributesFile");
    files.shared.push_back(system.empty() ? "/etc/gitattributes" : system);
  }

  std::vector<std::string> paths{kProbePath};
  if (!files.top.empty() && !work_tree_notebooks(where, paths)) return false;
  std::vector<std::array<std::string, 3>> overridden;
  if (!attributes_not_zuv(where, paths, overridden)) return false;
  used = overridden.empty();
  constexpr std::size_t kShown = 10;  // a repository may hold thousands
  for (std::size_t i = 0; i < std::min(overridden.size(), kShown); ++i) {
    const auto& [path, attribute, value] = overridden[i];
    const std::string origin = origin_of(files, path, attribute);
    const std::string subject =
        path == kProbePath ? "notebooks here"
        : path.ends_with(std::string("/") + kProbePath)
            ? "new notebooks in " +
                  escape_line(path.substr(0, path.size() - std::strlen(kProbePath)))
            : escape_line(path);
    std::fprintf(stderr, "zuv config-git: git does not use zuv for %s: %s is %s%s\n",
                 subject.c_str(), attribute.c_str(), escape_line(value).c_str(),
                 origin.empty() ? "" : (", set by " + escape_line(origin)).c_str());
  }
  if (overridden.size() > kShown)
    std::fprintf(stderr, "zuv config-git: and %zu more\n", overridden.size() - kShown);
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
  bool already = false;
  if (!enabling)
    return disable(scope) && update_attributes(attributes, false, already) ? status::ok
                                                                           : status::failure;
  bool used = false;
  if (!enable(scope) || !update_attributes(attributes, true, already) || !check_effective(used))
    return status::failure;
  if (!used) {
    // Written, but overridden: say so, and let scripts notice.
    if (already)
      std::printf("%s: has %s, overridden (see above)\n", escape_line(attributes).c_str(),
                  kAttributeLine);
    return status::conflicts;
  }
  if (already) std::printf("%s: already has %s\n", escape_line(attributes).c_str(), kAttributeLine);
  return status::ok;
}

}  // namespace zuv::cli
