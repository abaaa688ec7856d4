// The `zuv` program: its subcommands and the conventions they share.
//
// Every subcommand is one entry of the command table.  `run` receives the
// arguments after the subcommand's name, runs with the interpreter's lock
// held, reports its own errors on standard error and returns the exit status;
// it never leaves a Python exception set and never throws.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace zuv::cli {

struct Command {
  const char* name = nullptr;
  const char* summary = nullptr;
  const char* usage = nullptr;
  int (*run)(const std::vector<std::string>& args) = nullptr;
  // git runs it with paths as they are: a lone "-h" or "--help" that names
  // an existing file is that file, not a request for help.
  bool takes_git_paths = false;
};

// Exit statuses, as git and shells read them.
namespace status {
constexpr int ok = 0;         // done; clean merge; no conflicts left
constexpr int conflicts = 1;  // merge with conflicts (git: "needs a person")
constexpr int usage = 2;      // bad command line
constexpr int failure = 3;    // could not do the job
}  // namespace status

// Every subcommand, in the order `zuv --help` lists them.
std::span<const Command> command_table();
const Command* find_command(const std::string& name);

// Prints "usage: ..." and "zuv NAME: error: MESSAGE" on standard error and
// returns status::usage.
int usage_error(const char* command_name, const std::string& message);

// Prints "zuv NAME: error: MESSAGE" on standard error; returns status::failure.
int failure(const char* command_name, const std::string& message);

// Reports the Python exception now set (type and message, one line) as a
// failure of the command and clears it; returns status::failure.
int python_failure(const char* command_name);

int run_config_git(const std::vector<std::string>& args);
int run_merge_driver(const std::vector<std::string>& args);
int run_textconv(const std::vector<std::string>& args);
int run_diff(const std::vector<std::string>& args);
int run_diff_driver(const std::vector<std::string>& args);
int run_conflicts(const std::vector<std::string>& args);
int run_show_merge(const std::vector<std::string>& args);
int run_resolve(const std::vector<std::string>& args);
int run_check(const std::vector<std::string>& args);

}  // namespace zuv::cli
