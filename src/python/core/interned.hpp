// Python strings that hot paths use as attribute names or dict keys, made once
// per process (interned, so kwnames and attribute names usually match them by
// pointer). Add a name here rather than building it per call.
#pragma once

#include <Python.h>

#include "python/core/status.hpp"

namespace brovane::python::core {

// X(member, "text")
#define BROVANE_INTERNED_NAMES(X) \
  X(dunder_all, "__all__")        \
  X(dunder_module, "__module__")  \
  X(dunder_name, "__name__")

struct InternedNames {
#define BRV_INTERNED_MEMBER(member, text) PyObject* member = nullptr;
  BROVANE_INTERNED_NAMES(BRV_INTERNED_MEMBER)
#undef BRV_INTERNED_MEMBER
};

namespace detail {
inline InternedNames g_interned;
}

// Fills the table; called by the module's execution step before anything
// else. Idempotent.
Status init_interned_names() noexcept;

// The table (borrowed references, valid for the process after init).
inline const InternedNames& names() noexcept { return detail::g_interned; }

}  // namespace brovane::python::core
