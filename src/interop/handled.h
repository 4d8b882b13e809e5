// Logging a failure caught in C++ with its traceback.
//
// logging's exc_info=True reads sys.exc_info(), which is empty in C++ code:
// catching nb::python_error does not make the exception "being handled" as
// an except block would. HandledException installs the caught exception for
// the scope so that exc_info=True finds it, then puts back what was there.
#pragma once

#include "core.h"
#include "logging.h"

namespace brindle::interop {

class HandledException {
public:
    explicit HandledException(const nb::python_error &e);
    ~HandledException();
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;

private:
    PyObject *previous_;
};

// logger.<level>(build(), exc_info=True) with the caught error as the one
// whose traceback is printed.
template <typename Build>
void log_caught(nb::handle logger, Level level, const nb::python_error &e, Build &&build) {
    HandledException handled(e);
    log_with_traceback(logger, level, std::forward<Build>(build));
}

}  // namespace brindle::interop
