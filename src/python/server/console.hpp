// The server's diagnostics: single lines written straight to the process's
// standard output and standard error (file descriptors 1 and 2), not through
// Python's sys streams, each line with one write so that lines from several
// threads never interleave. Safe on any thread, with or without the
// interpreter lock.
#pragma once

#include <string_view>

namespace brovane::python::server {

// `text` followed by a line break.
void print_stdout_line(std::string_view text) noexcept;
void print_stderr_line(std::string_view text) noexcept;

}  // namespace brovane::python::server
