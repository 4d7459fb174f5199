// The borrow counter that every object of the module carries right after its
// Python header, and the RAII guards that take it for the length of a call.
// The counter changes only through atomic instructions, so it stays consistent
// while a borrowed call runs without the interpreter lock on another thread.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

#include "python/core/status.hpp"

namespace brovane::python::core {

// 0 = free, n > 0 = n shared borrows in progress, -1 = one exclusive borrow.
struct BorrowFlag {
  std::atomic<Py_ssize_t> n{0};
};

enum class Access : unsigned char { Shared, Exclusive };

inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";

// One borrow of one object, released when the guard goes. Test it after
// construction: a guard that failed holds nothing.
template <Access A>
class [[nodiscard]] Borrow {
 public:
  explicit Borrow(BorrowFlag& flag) noexcept {
    if constexpr (A == Access::Shared) {
      Py_ssize_t cur = flag.n.load(std::memory_order_relaxed);
      do {
        if (cur == -1) return;
      } while (!flag.n.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    } else {
      Py_ssize_t expected = 0;
      if (!flag.n.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    }
    flag_ = &flag;
  }
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow& operator=(Borrow&&) = delete;
  Borrow(const Borrow&) = delete;
  ~Borrow() { release(); }

  explicit operator bool() const noexcept { return flag_ != nullptr; }

  void release() noexcept {
    if (flag_ == nullptr) return;
    if constexpr (A == Access::Shared)
      flag_->n.fetch_sub(1, std::memory_order_release);
    else
      flag_->n.store(0, std::memory_order_release);
    flag_ = nullptr;
  }

  // The RuntimeError for a borrow of this kind that could not be taken.
  static Error conflict() {
    return Error{ErrorKind::RuntimeError, A == Access::Shared ? kAlreadyMutablyBorrowed : kAlreadyBorrowed};
  }

 private:
  BorrowFlag* flag_ = nullptr;
};

using SharedBorrow = Borrow<Access::Shared>;
using ExclusiveBorrow = Borrow<Access::Exclusive>;

// Takes a borrow or reports the conflict as RuntimeError.
template <Access A>
[[nodiscard]] inline Result<Borrow<A>> take_borrow(BorrowFlag& flag) {
  Borrow<A> b(flag);
  if (!b) [[unlikely]]
    return std::unexpected(Borrow<A>::conflict());
  return Result<Borrow<A>>(std::in_place, std::move(b));
}

}  // namespace brovane::python::core
