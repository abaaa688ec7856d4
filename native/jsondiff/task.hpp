// Coroutines that nest without growing the native stack.
//
// A comparison of nested containers is naturally recursive, and a native
// frame per level runs out of stack long before the interpreter's recursion
// limit on small thread stacks.  Written as coroutines, each level keeps its
// locals in a heap frame instead: a task awaited by another is resumed by the
// loop in `run`, never from inside its parent's frame, and a finished task
// hands control back to that loop as well.  The native stack depth therefore
// stays the same whatever the nesting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace zuv::json_diff {

// A lazily started coroutine with a truth value (false: an exception is set).
class Task {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    void await_suspend(Handle done) noexcept;
    void await_resume() noexcept {}
  };

  struct promise_type {
    bool value = false;
    std::coroutine_handle<> parent;
    std::exception_ptr error;

    Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_value(bool result) noexcept { value = result; }
    void unhandled_exception() noexcept { error = std::current_exception(); }

    // Frames come from the interpreter's raw allocator, like the engine's
    // tables, so that tracemalloc counts them.
    static void* operator new(std::size_t size) {
      void* p = PyMem_RawMalloc(size);
      if (!p) throw std::bad_alloc();
      return p;
    }
    static void operator delete(void* p) noexcept { PyMem_RawFree(p); }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaiting a task schedules it; the parent resumes once it has finished.
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> parent) noexcept {
    handle_.promise().parent = parent;
    scheduled() = handle_;
  }
  bool await_resume() const { return result(); }

  // Runs the task and every task it awaits to the end, in a loop.
  static bool run(Task task) {
    std::coroutine_handle<>& next = scheduled();
    const std::coroutine_handle<> outer = std::exchange(next, task.handle_);
    while (next) std::exchange(next, {}).resume();
    next = outer;
    return task.result();
  }

 private:
  explicit Task(Handle handle) noexcept : handle_(handle) {}

  bool result() const {
    if (handle_.promise().error) std::rethrow_exception(handle_.promise().error);
    return handle_.promise().value;
  }

  // The coroutine that the running loop resumes next.  A comparison that
  // runs Python code may start another one inside it, which runs its own
  // loop and leaves this one as it found it.
  static std::coroutine_handle<>& scheduled() noexcept {
    thread_local std::coroutine_handle<> next;
    return next;
  }

  Handle handle_;
};

inline void Task::FinalAwaiter::await_suspend(Handle done) noexcept {
  scheduled() = done.promise().parent;
}

}  // namespace zuv::json_diff
