// Holding back the signals that stop a command while its files are in a
// state that must not be left behind.
#pragma once

#include <pthread.h>

#include <csignal>

namespace zuv::io {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread for its lifetime;
// the signals that arrive meanwhile are delivered when it ends.  These are
// the signals users send to stop a command, and the default action of two
// of them ends the process without any clean-up.
class SignalHold {
 public:
  SignalHold() noexcept {
    sigemptyset(&held_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held_, signal);
    established_ = active_ = pthread_sigmask(SIG_BLOCK, &held_, &previous_) == 0;
  }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;
  ~SignalHold() { restore(); }

  // Lets the signals through again, as they were before the hold, while a
  // call that may wait on something outside (a child process) runs; resume()
  // holds them again.
  void pause() noexcept { restore(); }
  void resume() noexcept {
    if (established_) active_ = pthread_sigmask(SIG_BLOCK, &held_, nullptr) == 0;
  }

 private:
  void restore() noexcept {
    if (active_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    active_ = false;
  }

  sigset_t held_{};
  sigset_t previous_{};
  bool established_ = false;
  bool active_ = false;
};

}  // namespace zuv::io
