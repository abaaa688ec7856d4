// Ending a command cleanly on the signals that stop it.
#pragma once

#include "py/ref.hpp"

namespace zuv {

// Lets SIGTERM and SIGHUP end the program through SystemExit(128 + signal),
// the status a shell reports for a death by that signal, so that every
// clean-up on the way out runs (a source merge's working directory is
// removed, nothing is written).  Only signals that still have their default
// action are changed: one the caller chose to ignore, as nohup does, stays
// ignored.  Outside the main thread the defaults stay.  (SIGINT already
// raises KeyboardInterrupt.)
bool exit_cleanly_on_signals();

// 128 + the number of the last signal that handler took, or 0.  It stays
// known when code that clears every error swallowed the SystemExit, so a
// command can still refuse to write after it.
int signal_exit_status();

// The status of the SystemExit now set when it carries an integer (the
// exception stays set); false for any other exception or none.
bool pending_exit_status(int& status);

}  // namespace zuv
