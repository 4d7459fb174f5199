#include "python/core/thunks.hpp"

namespace brovane::python::core::detail {

// Called from a catch block: classifies the exception in flight.
void set_exception_from_cpp() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

}  // namespace brovane::python::core::detail
