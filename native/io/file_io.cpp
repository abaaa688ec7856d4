#include "io/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zuv::io {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool FileDescriptor::close() noexcept { return ::close(release()) == 0; }

Ref fs_path(PyObject* path) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return {};
  return Ref::steal(encoded);
}

bool open_file(PyObject* path, int flags, FileDescriptor& out) {
  Ref encoded = fs_path(path);
  if (!encoded) return false;
  int fd;
  do {
    fd = ::open(PyBytes_AS_STRING(encoded.get()), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
  }
  out.reset(fd);
  return true;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_file(PyObject* path, std::string& out, FileDescriptor& file) {
  if (!open_file(path, O_RDONLY, file)) return false;
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && info.st_size > 0)
    out.reserve(static_cast<size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
    out.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace zuv::io
