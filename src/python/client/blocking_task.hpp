// Coroutines that never suspend: the transport algorithms (transport.hpp) are
// written once as coroutines and run either on an Asio executor (the server's
// connections) or straight through on the calling thread (the client's
// blocking socket). In the second case every read and write completes before
// its co_await returns: a BlockingTask runs from its call to its co_return
// without a suspension, and a ReadyValue is an awaitable that already holds
// its value. Nothing is scheduled, posted or woken up.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace brovane::python::client {

// An awaitable whose value is already there.
template <class T>
struct [[nodiscard]] ReadyValue {
  T value;

  bool await_ready() const noexcept { return true; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  T await_resume() { return std::move(value); }
};

// A coroutine that runs to its end inside the call that starts it, because
// everything it awaits is ready. Its frame lives until the task is destroyed,
// so that its value can be taken out.
template <class T>
class [[nodiscard]] BlockingTask {
 public:
  struct promise_type {
    std::optional<T> value;
    std::exception_ptr failure;  // std::bad_alloc is the only one there can be

    BlockingTask get_return_object() noexcept {
      return BlockingTask(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_never initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    template <class V>
    void return_value(V&& v) {
      value.emplace(std::forward<V>(v));
    }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
  };

  BlockingTask(BlockingTask&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  BlockingTask& operator=(BlockingTask&&) = delete;
  ~BlockingTask() {
    if (h_) h_.destroy();
  }

  // The value (or the exception) of the finished coroutine, taken once.
  T get() {
    // Something it awaited was not ready: a caller error that nothing could
    // ever resume.
    if (!h_.done()) [[unlikely]]
      std::terminate();
    promise_type& p = h_.promise();
    if (p.failure) std::rethrow_exception(p.failure);
    return std::move(*p.value);
  }

  // Awaited by another BlockingTask: already finished.
  bool await_ready() const noexcept { return true; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  T await_resume() { return get(); }

 private:
  explicit BlockingTask(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}

  std::coroutine_handle<promise_type> h_;
};

}  // namespace brovane::python::client
