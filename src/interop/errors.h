// Catching Python errors in C++ and raising the package's errors chained to them.
#pragma once

#include "core.h"

namespace brindle::interop {

// The name under which a module keeps the package's base error class
// (from brindle.errors), looked up in the module on every raise.
inline const Name kBrindleError{"BrindleError"};

// True when the caught error belongs to the Exception family. Anything else
// (KeyboardInterrupt, SystemExit, GeneratorExit) must travel on untouched.
bool is_exception_family(const nb::python_error &e);

// The caught exception object (its traceback travels on it).
nb::object exception_value(const nb::python_error &e);

// str() of the caught exception, as the messages quote it.
std::string error_text(const nb::python_error &e);

// Raises error_class(message) with the caught exception as its cause, as
// `raise error_class(message) from e` does inside an except block.
[[noreturn]] void raise_from(nb::handle error_class, const std::string &message, const nb::python_error &cause);

// Raises error_class(message) with no cause, as a plain `raise` would.
[[noreturn]] void raise_plain(nb::handle error_class, const std::string &message);

// Runs body; a failure of the Exception family is handed to on_failure with
// the caught error, anything else propagates. on_failure must not return
// normally unless the failure is to be absorbed.
template <typename Body, typename OnFailure>
auto guarded(Body &&body, OnFailure &&on_failure) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
        return on_failure(e);
    }
}

// Runs body and discards any failure of the Exception family (best-effort steps).
template <typename Body>
void ignore_failure(Body &&body) {
    try {
        body();
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
    }
}

}  // namespace brindle::interop
