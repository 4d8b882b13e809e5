// Logging from C++ through the standard logging module.
//
// Messages are built only when the logger is enabled for their level, and
// always go through the logger's own level method (logger.debug(...), ...),
// so handlers, filters and patched loggers see what Python code would send.
#pragma once

#include "core.h"

#include <string>

namespace brindle::interop {

enum class Level { Debug = 10, Info = 20, Warning = 30, Error = 40 };

namespace detail {
// The name of the logger's method for the level ("debug", "info", ...).
const Name &level_method(Level level);
// logger.<level>(message, exc_info=True)
void log_text_with_traceback(nb::handle logger, Level level, const std::string &message);
}  // namespace detail

bool log_enabled(nb::handle logger, Level level);

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
    detail::log_text_with_traceback(logger, level, build());
}

// The attribute under which an instance keeps its logger.
inline const Name kLogger{"logger"};

// self.logger as it stands now (callers may replace it on an instance).
inline nb::object logger_of(nb::handle self) { return attr(self, kLogger); }

// logging.getLogger(name)
nb::object get_logger(nb::handle logging_module, nb::handle name);

}  // namespace brindle::interop
