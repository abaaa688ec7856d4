#include "io/atomic_write.hpp"

#include "io/signal_hold.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>

namespace zuv::io {
namespace {

// The errno-style outcome of the steps below: 0 for success.
using Error = int;

Error write_all_at(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

// For files without positions (FIFOs, terminals, devices).
Error write_all_sequential(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

Error read_all_at(int fd, std::string& out, size_t size) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return 0;
}

Error close_checked(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : errno; }

// Flushes a directory's entries, making a rename in it durable.  File
// systems that cannot flush a directory, and a directory the user may not
// open, leave it to the file system's own schedule.
Error flush_directory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  Error error = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
  ::close(fd);
  return error;
}

// Whether a new file renamed over `info` would look the same to its users:
// the same single name, owner and access rules.
bool rename_keeps_identity(const char* path, const struct stat& info) {
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != geteuid()) return false;
  // An access list would not be carried over.
  return ::getxattr(path, "system.posix_acl_access", nullptr, 0) < 0;
}

enum class Renamed { done, declined, failed };

// Writes to a temporary file beside `path`, flushes it and renames it over
// `path`.  Declines, leaving nothing behind, where the directory refuses the
// temporary file or the new file cannot take the old one's group.
Renamed write_by_rename(const std::string& path, const struct stat& info, const char* text,
                        size_t size, Error& error, std::string& error_path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  // The temporary name carries the file's name, cut short enough that a
  // name at the file system's length limit still leaves room for the suffix.
  constexpr std::string::size_type kNameRoom = 200;
  std::string temp =
      path.substr(0, slash + 1) + "." + path.substr(slash + 1, kNameRoom) + ".zuvmerge-XXXXXX";

  SignalHold hold;
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM) return Renamed::declined;
    error = errno;
    error_path = temp;
    return Renamed::failed;
  }
  struct stat created {};
  if (fstat(fd, &created) < 0 ||
      (created.st_gid != info.st_gid && fchown(fd, static_cast<uid_t>(-1), info.st_gid) < 0)) {
    ::close(fd);
    ::unlink(temp.c_str());
    return Renamed::declined;
  }
  // The mode last: both an owner change and a write by a user without
  // CAP_FSETID clear the set-id bits.
  error = write_all_sequential(fd, text, size);
  if (!error && fchmod(fd, info.st_mode & 07777) < 0) error = errno;
  if (!error && ::fsync(fd) < 0) error = errno;
  Error closed = close_checked(fd);
  if (!error) error = closed;
  if (!error && ::rename(temp.c_str(), path.c_str()) < 0) {
    // A file that is a mount point, or a directory that forbids replacing
    // it, can still be written in place.
    if (errno == EBUSY || errno == EXDEV || errno == EPERM || errno == EACCES) {
      ::unlink(temp.c_str());
      error = 0;
      return Renamed::declined;
    }
    error = errno;
  }
  if (error) {
    ::unlink(temp.c_str());
    error_path = path;
    return Renamed::failed;
  }
  // The rename happened: the new content is the file's, whatever the
  // directory flush reports.
  error = flush_directory(directory);
  error_path = directory;
  return error ? Renamed::failed : Renamed::done;
}

// Creates `path`, which does not exist: a temporary file beside it, flushed,
// given `mode` and renamed into place.
Error write_new(const std::string& path, mode_t mode, const char* text, size_t size,
                std::string& error_path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  constexpr std::string::size_type kNameRoom = 200;
  std::string temp =
      path.substr(0, slash + 1) + "." + path.substr(slash + 1, kNameRoom) + ".zuvmerge-XXXXXX";
  error_path = path;
  SignalHold hold;
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  Error error = write_all_sequential(fd, text, size);
  if (!error && fchmod(fd, mode) < 0) error = errno;
  if (!error && ::fsync(fd) < 0) error = errno;
  Error closed = close_checked(fd);
  if (!error) error = closed;
  if (!error && ::rename(temp.c_str(), path.c_str()) < 0) error = errno;
  if (error) {
    ::unlink(temp.c_str());
    return error;
  }
  error_path = directory;
  return flush_directory(directory);
}

// The name a new file at `target` gets: a dangling symbolic link is followed
// to the name it points at, so that the link stays a link.
Error final_name(const std::string& target, std::string& out) {
  constexpr int kMaxLinks = 40;
  out = target;
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(out.c_str(), buffer, sizeof buffer);
    if (n < 0) return errno == EINVAL || errno == ENOENT ? 0 : errno;  // not a link
    if (n == 0) return ENOENT;
    if (static_cast<size_t>(n) == sizeof buffer) return ENAMETOOLONG;
    // A relative link is read from the link's own directory.
    const std::string::size_type slash = out.rfind('/');
    const std::string directory =
        buffer[0] == '/' || slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
    out = directory + std::string(buffer, static_cast<size_t>(n));
  }
  return ELOOP;
}

// Puts `old` back after a failed overwrite, as far as the file allows.
void restore_content(int fd, const std::string& old) {
  if (write_all_at(fd, old.data(), old.size(), 0) == 0 &&
      ::ftruncate(fd, static_cast<off_t>(old.size())) == 0)
    ::fsync(fd);
}

// Overwrites a regular file through `fd`: reserves the space, writes,
// truncates, flushes; on failure puts the old content back when it could
// be read.
Error overwrite_regular(int fd, bool readable, const struct stat& info, const char* text,
                        size_t size) {
  std::string old;
  if (readable) {
    if (Error error = read_all_at(fd, old, static_cast<size_t>(info.st_size))) return error;
  }
  SignalHold hold;
  if (size > 0) {
    Error reserved = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (reserved && reserved != EOPNOTSUPP && reserved != EINVAL) {
      // A reservation that failed part-way may have grown the file.
      struct stat now {};
      if (fstat(fd, &now) == 0 && now.st_size != info.st_size) ::ftruncate(fd, info.st_size);
      return reserved;
    }
  }
  Error error = write_all_at(fd, text, size, 0);
  if (!error && static_cast<off_t>(size) < info.st_size &&
      ::ftruncate(fd, static_cast<off_t>(size)) < 0)
    error = errno;
  if (!error && ::fsync(fd) < 0) error = errno;
  if (error && readable) restore_content(fd, old);
  return error;
}

// Writes over `path` through the existing file.
Error write_in_place(const std::string& path, const struct stat& info, const char* text,
                     size_t size) {
  // A FIFO is opened for writing only: opened for reading too, it would
  // take its own output back.
  bool readable = S_ISREG(info.st_mode);
  int fd = -1;
  if (readable) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    readable = false;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
  }
  struct stat opened {};
  Error error = fstat(fd, &opened) < 0 ? errno : 0;
  if (!error) {
    if (S_ISREG(opened.st_mode)) {
      error = overwrite_regular(fd, readable, opened, text, size);
    } else {
      error = write_all_sequential(fd, text, size);
    }
  }
  Error closed = close_checked(fd);
  return error ? error : closed;
}

// Other threads run while this one waits on the file system: opening a FIFO
// blocks until its other end opens, and a flush can take long.  Nothing in
// the writes touches Python objects; the holder takes the lock back on every
// way out.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace

bool replace_file(const char* target, const char* text, Py_ssize_t size) {
  char resolved[PATH_MAX];
  if (!realpath(target, resolved)) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, target);
    return false;
  }
  struct stat info {};
  if (stat(resolved, &info) < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, resolved);
    return false;
  }
  // A file the caller may not write stays as it is, as opening it for
  // writing would leave it; renaming over it would need only the directory.
  if (faccessat(AT_FDCWD, resolved, W_OK, AT_EACCESS) < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, target);
    return false;
  }
  std::string path(resolved);
  auto length = static_cast<size_t>(size);
  if (rename_keeps_identity(resolved, info)) {
    Error error = 0;
    std::string error_path;
    Renamed renamed = Renamed::declined;
    {
      WithoutInterpreterLock unlocked;
      renamed = write_by_rename(path, info, text, length, error, error_path);
    }
    switch (renamed) {
      case Renamed::done:
        return true;
      case Renamed::failed:
        errno = error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError,
                                       error_path == path ? target : error_path.c_str());
        return false;
      case Renamed::declined:
        break;
    }
  }
  Error error = 0;
  {
    WithoutInterpreterLock unlocked;
    error = write_in_place(path, info, text, length);
  }
  if (error) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, target);
    return false;
  }
  return true;
}

bool write_file(const char* target, const char* text, Py_ssize_t size) {
  struct stat info {};
  if (stat(target, &info) == 0 || errno != ENOENT) return replace_file(target, text, size);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  std::string path;
  Error error = final_name(target, path);
  std::string error_path = target;
  if (!error) {
    WithoutInterpreterLock unlocked;
    error = write_new(path, 0666 & ~mask, text, static_cast<size_t>(size), error_path);
  }
  if (error) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, error_path.c_str());
    return false;
  }
  return true;
}

}  // namespace zuv::io
