#include "zuv/git/git_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "py/ref.hpp"

extern char** environ;

namespace zuv::cli {

namespace {

// Both ends of a pipe, closed when the holder goes.
struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
  void close_end(int k) {
    if (fd[k] >= 0) ::close(fd[k]);
    fd[k] = -1;
  }
  ~Pipe() {
    close_end(0);
    close_end(1);
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions{};
  bool ready = posix_spawn_file_actions_init(&actions) == 0;
  SpawnActions() = default;
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
};

// Reads both pipes until the child closes them.
bool drain(Pipe& out, Pipe* err, ProcessResult& result) {
  pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err ? err->fd[0] : -1, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  char buffer[65536];
  int open_count = err ? 2 : 1;
  while (open_count > 0) {
    // Waiting on the child: let other threads of the interpreter run.
    PyThreadState* saved = PyEval_SaveThread();
    int ready = poll(fds, 2, -1);
    PyEval_RestoreThread(saved);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fds[k].fd = -1;
        --open_count;
      } else {
        sinks[k]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  return true;
}

}  // namespace

bool run_git(const std::vector<std::string>& args, ProcessResult& result, std::string& error,
             bool capture_stderr) {
  result = ProcessResult{};  // a result reused for another run holds only that run's output
  std::vector<std::string> owned{"git"};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(owned.size() + 1);
  for (std::string& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);

  Pipe out, err;
  SpawnActions actions;
  if (!out.open() || (capture_stderr && !err.open()) || !actions.ready) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_addopen(&actions.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions.actions, out.fd[1], STDOUT_FILENO);
  if (capture_stderr) posix_spawn_file_actions_adddup2(&actions.actions, err.fd[1], STDERR_FILENO);

  pid_t pid;
  int spawned = posix_spawnp(&pid, "git", &actions.actions, nullptr, argv.data(), environ);
  if (spawned != 0) {
    error = spawned == ENOENT ? std::string("git is not installed (not found on PATH)")
                              : std::string("cannot run git: ") + std::strerror(spawned);
    return false;
  }
  out.close_end(1);
  err.close_end(1);
  bool drained = drain(out, capture_stderr ? &err : nullptr, result);
  int wait_status = 0;
  pid_t waited;
  do {
    PyThreadState* saved = PyEval_SaveThread();
    waited = waitpid(pid, &wait_status, 0);
    PyEval_RestoreThread(saved);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0 || !drained) {
    error = std::string("lost track of git: ") + std::strerror(errno);
    return false;
  }
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  return true;
}

std::string find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return "";
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace zuv::cli
