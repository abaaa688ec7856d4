// Running git as a child process, without a shell and without GitPython.
#pragma once

#include <string>
#include <vector>

namespace zuv::cli {

struct ProcessResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;  // standard output, captured
  std::string err;  // standard error, captured when asked for
};

// Runs `git ARGS...` (found on PATH) in the current directory.  Standard
// input is /dev/null; standard error is captured or passed through.  Returns
// false with `error` set when git could not be started or waited for.
bool run_git(const std::vector<std::string>& args, ProcessResult& result, std::string& error,
             bool capture_stderr = false);

// The full path of `program` when a directory of PATH holds it, else "".
std::string find_on_path(const std::string& program);

}  // namespace zuv::cli
