// A joinable thread whose failed start is a returned error number. The
// runtime starts its threads when memory may be short (a worker count far
// beyond the machine), and a std::thread reports a failed start by throwing:
// the first throw on a thread allocates the C++ runtime's per-thread
// exception storage, and glibc aborts the process when that allocation fails.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <exception>
#include <expected>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "python/core/forced_unwind.hpp"

namespace brovane::python::server {

class NativeThread {
 public:
  NativeThread() noexcept = default;
  NativeThread(NativeThread&& other) noexcept
      : id_(other.id_), joinable_(std::exchange(other.joinable_, false)) {}
  NativeThread& operator=(NativeThread&& other) noexcept {
    if (this != &other) {
      if (joinable_) std::terminate();  // as std::thread: a running thread is never dropped unnoticed
      id_ = other.id_;
      joinable_ = std::exchange(other.joinable_, false);
    }
    return *this;
  }
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;
  ~NativeThread() {
    if (joinable_) std::terminate();
  }

  // Runs `body` on a new thread; the error number (EAGAIN, ENOMEM, ...) when
  // it cannot start. Throws nothing.
  template <class F>
  static std::expected<NativeThread, int> start(F&& body) noexcept {
    using Body = std::decay_t<F>;
    static_assert(std::is_nothrow_move_constructible_v<Body>);
    auto* box = new (std::nothrow) Body(std::forward<F>(body));
    if (box == nullptr) return std::unexpected(ENOMEM);
    NativeThread t;
    const int err = pthread_create(&t.id_, nullptr, &run<Body>, box);
    if (err != 0) {
      delete box;
      return std::unexpected(err);
    }
    t.joinable_ = true;
    return t;
  }

  bool joinable() const noexcept { return joinable_; }
  pthread_t id() const noexcept { return id_; }
  void join() noexcept {
    if (!joinable_) return;
    pthread_join(id_, nullptr);
    joinable_ = false;
  }
  void detach() noexcept {
    if (!joinable_) return;
    pthread_detach(id_);
    joinable_ = false;
  }

 private:
  // A thread that a finalizing interpreter ends (core/gil.hpp) comes here
  // unwound and waits for the process to end.
  template <class Body>
  BRV_CATCHES_THREAD_EXIT static void* run(void* arg) {
    std::unique_ptr<Body> body(static_cast<Body*>(arg));
    try {
      (*body)();
    } catch (abi::__forced_unwind&) {
      core::park_thread();
    }
    return nullptr;
  }

  pthread_t id_{};
  bool joinable_ = false;
};

}  // namespace brovane::python::server
