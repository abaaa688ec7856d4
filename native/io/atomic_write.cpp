#include "io/atomic_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace zuv::io {

// Writes `text` to a new file beside `target` and renames it over `target`,
// so the target holds either its old content or all of the new one.  The
// target's permission bits are kept; a symbolic link stays a link.
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
  // Renaming over a file needs only the directory's permission; a file the
  // caller may not write stays as it is, as opening it for writing would.
  if (faccessat(AT_FDCWD, resolved, W_OK, AT_EACCESS) < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, target);
    return false;
  }
  std::string path(resolved);
  std::string::size_type slash = path.rfind('/');
  // The temporary name carries the file's name, cut short enough that a
  // name at the file system's length limit still leaves room for the suffix.
  constexpr std::string::size_type kNameRoom = 200;
  std::string temp =
      path.substr(0, slash + 1) + "." + path.substr(slash + 1, kNameRoom) + ".zuvmerge-XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, temp.c_str());
    return false;
  }
  int saved_errno = 0;
  const char* p = text;
  Py_ssize_t left = size;
  while (left > 0 && !saved_errno) {
    ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      saved_errno = n < 0 ? errno : EIO;
    else {
      p += n;
      left -= n;
    }
  }
  if (!saved_errno && fchmod(fd, info.st_mode & 07777) < 0) saved_errno = errno;
  if (!saved_errno && fsync(fd) < 0) saved_errno = errno;
  if (close(fd) < 0 && !saved_errno) saved_errno = errno;
  if (!saved_errno && rename(temp.c_str(), resolved) < 0) saved_errno = errno;
  if (saved_errno) {
    unlink(temp.c_str());
    errno = saved_errno;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, target);
    return false;
  }
  return true;
}

}  // namespace zuv::io
