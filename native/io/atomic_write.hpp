// Replacing a file's whole content durably, keeping the file itself: its
// links, owner, group, mode and type stay what they were.
#pragma once

#include "py/ref.hpp"

namespace zuv::io {

// Writes the `size` bytes at `text` over the file at `target` (a file-system
// path; a symbolic link is followed and stays a link) and returns true once
// the new content is on disk.  On failure it sets OSError and returns false,
// with the file's content unchanged and no other file left behind.
//
// Where renaming keeps everything a user would notice (a regular file with
// one link, owned by the effective user, whose group the new file can take,
// in a directory the user may write), the bytes go to a temporary file
// beside the target that is flushed and then renamed over it, so readers see
// the old or the new content, never a mixture.  Anything else (hard links,
// another owner, a read-only or foreign sticky directory, a FIFO or device)
// is written in place: the space is reserved first, so a full disk fails
// before anything is overwritten, and a write or flush that fails puts the
// old content back.  SIGINT, SIGTERM and SIGHUP wait while a temporary file
// exists or a regular file is being overwritten.
//
// Needs the GIL (for the error only); no Python code runs inside.
bool replace_file(const char* target, const char* text, Py_ssize_t size);

// Writes the `size` bytes at `text` to `target`: as replace_file does where
// the file exists; else as a new file (mode 0666 less the umask), written
// beside it, flushed and renamed into place, so that the name holds the
// whole content or nothing.  A dangling symbolic link is followed: the file
// is created where it points and the link stays.  The same signal hold; no temporary file stays
// behind on failure.
bool write_file(const char* target, const char* text, Py_ssize_t size);

}  // namespace zuv::io
