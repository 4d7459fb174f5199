// Importing a package that other threads may be importing at the same time,
// and whose import may fail (as a loop thread's import of asyncio can, when
// memory or threads run short). Two flaws of the import system show then:
// - A thread that finds the package half-imported by another waits for that
//   import; when it fails, the package is gone from sys.modules, and
//   PyImport_ImportModule reports KeyError with the package's name instead of
//   importing it itself.
// - The submodules that the failed import had loaded stay in sys.modules
//   without their package. The next import of the package takes them from
//   there but never binds them as its attributes, so it fails too (asyncio:
//   "NameError: name 'coroutines' is not defined"), and so does every later
//   one, the program's own included.
// import_package drops such orphaned submodules before it imports and after a
// failed import, and imports again when it lost the race above.
#pragma once

#include "python/core/ref.hpp"

namespace brovane::python::server {

// The package `name` (no dots), or null with the import's exception set.
// Needs the interpreter lock.
core::Ref import_package(const char* name);

}  // namespace brovane::python::server
