// Process-wide singletons built the way Python code builds them: the class
// keeps `_instance` and `_lock` as class attributes, so that callers (tests)
// can reset `_instance` to get a fresh object.
#pragma once

#include "core.h"
#include "gil.h"

namespace brindle::interop {

// __new__(cls, ...): the object in cls._instance, created on first use. The
// test without the lock is repeated under cls._lock (a threading.Lock that
// serialises only this creation), and the fresh object gets _initialized =
// False so that its __init__ runs once.
nb::object singleton_new(nb::handle cls);

}  // namespace brindle::interop
