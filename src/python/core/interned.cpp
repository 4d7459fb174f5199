#include "python/core/interned.hpp"

namespace brovane::python::core {

Status init_interned_names() noexcept {
  InternedNames& t = detail::g_interned;
#define BRV_INTERN(member, text)                          \
  if (t.member == nullptr) {                              \
    t.member = PyUnicode_InternFromString(text);          \
    if (t.member == nullptr) return py_error();           \
  }
  BROVANE_INTERNED_NAMES(BRV_INTERN)
#undef BRV_INTERN
  return {};
}

}  // namespace brovane::python::core
