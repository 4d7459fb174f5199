// Socket and resolver failures as I/O errors: the kind that decides how a
// caller reacts (a server connection ends silently on a reset or a broken
// pipe) and the text that users see in "I/O error: {}", "connect to {}: {}"
// and "connection error: {}". Texts read as the platform's own messages in
// the conventional form "Connection reset by peer (os error 104)".
#pragma once

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <string>
#include <system_error>

#include <asio/error.hpp>

#include "protocol/types.hpp"

namespace brovane::python::client {

using protocol::IoError;
using protocol::IoErrorKind;

template <class T>
using IoResult = std::expected<T, IoError>;
using IoStatus = IoResult<void>;

// The kind an OS error number falls under; numbers without a kind of their
// own are Other.
constexpr IoErrorKind io_error_kind_from_errno(int code) noexcept {
  switch (code) {
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case ENOTCONN: return IoErrorKind::NotConnected;
    case EADDRINUSE: return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return IoErrorKind::AddrNotAvailable;
    case EHOSTUNREACH: return IoErrorKind::HostUnreachable;
    case ENETUNREACH: return IoErrorKind::NetworkUnreachable;
    case ENETDOWN: return IoErrorKind::NetworkDown;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case EINTR: return IoErrorKind::Interrupted;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ENOENT: return IoErrorKind::NotFound;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case ENOSYS: return IoErrorKind::Unsupported;
    default: return IoErrorKind::Other;
  }
}

// "{system message} (os error {code})", e.g. "Broken pipe (os error 32)".
[[gnu::cold]] inline IoError io_error_from_errno(int code) {
  char buf[256];
  // GNU strerror_r: returns the message, which may or may not live in `buf`.
  const char* msg = ::strerror_r(code, buf, sizeof buf);
  std::string text(msg);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return IoError{io_error_kind_from_errno(code), std::move(text)};
}

// Resolver failures read "failed to lookup address information: {}" with the
// resolver library's own message.
[[gnu::cold]] inline IoError io_error_from_gai(int eai_code) {
  return IoError{IoErrorKind::Other,
                 std::string("failed to lookup address information: ") + ::gai_strerror(eai_code)};
}

// Any error code that Asio reports: OS errors by number, resolver errors by
// the getaddrinfo code they stand for. An end of stream reported as an error
// (Asio's eof) is UnexpectedEof "unexpected end of file".
[[gnu::cold]] inline IoError io_error_from(const std::error_code& ec) {
  const std::error_category& cat = ec.category();
  // Asio reports OS errors in a category of its own.
  if (cat == asio::error::get_system_category() || cat == std::system_category() ||
      cat == std::generic_category()) {
    return io_error_from_errno(ec.value());
  }
  if (cat == asio::error::get_netdb_category()) {
    switch (ec.value()) {
      case asio::error::host_not_found: return io_error_from_gai(EAI_NONAME);
      case asio::error::host_not_found_try_again: return io_error_from_gai(EAI_AGAIN);
      case asio::error::no_recovery: return io_error_from_gai(EAI_FAIL);
      case asio::error::no_data: return io_error_from_gai(EAI_NODATA);
      default: break;
    }
  } else if (cat == asio::error::get_addrinfo_category()) {
    return io_error_from_gai(ec.value());
  } else if (cat == asio::error::get_misc_category() && ec == asio::error::eof) {
    return IoError::from_kind(IoErrorKind::UnexpectedEof);
  }
  return IoError{IoErrorKind::Other, ec.message()};
}

}  // namespace brovane::python::client
