// Ending a command's process once its work is done.
#pragma once

namespace zuv {

// Flushes Python's sys.stdout and sys.stderr and C's streams, then ends the
// process with `status` at once, without the interpreter's finalization:
// for a command that has written and reported everything and holds
// documents of many megabytes, which finalization would free object by
// object (and walk once more for cycles) for a tenth of a large merge's
// time.  Nothing registered with atexit runs.
[[noreturn]] void end_process(int status) noexcept;

}  // namespace zuv
