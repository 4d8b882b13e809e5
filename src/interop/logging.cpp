// Logging from C++ through the standard logging module.
#include "logging.h"

namespace brindle::interop {

namespace detail {
namespace {
const Name kIsEnabledFor{"isEnabledFor"};
const Name kDebug{"debug"};
const Name kInfo{"info"};
const Name kWarning{"warning"};
const Name kError{"error"};
const Name kExcInfo{"exc_info"};
}  // namespace

const Name &level_method(Level level) {
    switch (level) {
        case Level::Debug: return kDebug;
        case Level::Info: return kInfo;
        case Level::Warning: return kWarning;
        default: return kError;
    }
}

void log_text_with_traceback(nb::handle logger, Level level, const std::string &message) {
    nb::object method = attr(logger, level_method(level));
    nb::object msg = make_str(message);
    PyObject *argv[] = {nullptr, msg.ptr(), Py_True};
    nb::object kwnames = nb::make_tuple(kExcInfo.handle());
    checked(PyObject_Vectorcall(method.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}
}  // namespace detail

bool log_enabled(nb::handle logger, Level level) {
    return truth(call_method(logger, detail::kIsEnabledFor, static_cast<int>(level)));
}

nb::object get_logger(nb::handle logging_module, nb::handle name) {
    static const Name kGetLogger{"getLogger"};
    return call_method(logging_module, kGetLogger, name);
}

}  // namespace brindle::interop
