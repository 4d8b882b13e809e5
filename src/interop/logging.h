// Logging from C++ through the standard logging module.
//
// Messages are built only when the logger is enabled for their level, and
// always go through the logger's own level method (logger.debug(...), ...),
// so handlers, filters and patched loggers see what Python code would send.
#pragma once

#include "core.h"

namespace brindle::interop {

enum class Level { Debug = 10, Info = 20, Warning = 30, Error = 40 };

namespace detail {
inline const Name kIsEnabledFor{"isEnabledFor"};
inline const Name kDebug{"debug"};
inline const Name kInfo{"info"};
inline const Name kWarning{"warning"};
inline const Name kError{"error"};
inline const Name kExcInfo{"exc_info"};

inline const Name &level_method(Level level) {
    switch (level) {
        case Level::Debug: return kDebug;
        case Level::Info: return kInfo;
        case Level::Warning: return kWarning;
        default: return kError;
    }
}
}  // namespace detail

inline bool log_enabled(nb::handle logger, Level level) {
    return truth(call_method(logger, detail::kIsEnabledFor, static_cast<int>(level)));
}

// logger.<level>(build()) when the level is enabled. build returns std::string.
template <typename Build>
void log(nb::handle logger, Level level, Build &&build) {
    if (!log_enabled(logger, level))
        return;
    call_method(logger, detail::level_method(level), make_str(build()));
}

// logger.<level>(format, args...): "%s"-style, formatted by logging itself.
template <typename... Args>
void log_format(nb::handle logger, Level level, const char *format, Args &&...args) {
    call_method(logger, detail::level_method(level), nb::str(format), std::forward<Args>(args)...);
}

// logger.<level>(message, exc_info=True), built only when enabled. For an error
// caught in C++ use log_caught (handled.h), which makes it the one reported.
template <typename Build>
void log_with_traceback(nb::handle logger, Level level, Build &&build) {
    if (!log_enabled(logger, level))
        return;
    nb::object method = attr(logger, detail::level_method(level));
    PyObject *argv[] = {nullptr, make_str(build()).release().ptr(), Py_True};
    nb::object msg = nb::steal(argv[1]);
    nb::object kwnames = nb::make_tuple(detail::kExcInfo.handle());
    checked(PyObject_Vectorcall(method.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                kwnames.ptr()));
}

// The attribute under which an instance keeps its logger.
inline const Name kLogger{"logger"};

// self.logger as it stands now (callers may replace it on an instance).
inline nb::object logger_of(nb::handle self) { return attr(self, kLogger); }

// logging.getLogger(name)
inline nb::object get_logger(nb::handle logging_module, nb::handle name) {
    static const Name kGetLogger{"getLogger"};
    return call_method(logging_module, kGetLogger, name);
}

}  // namespace brindle::interop
