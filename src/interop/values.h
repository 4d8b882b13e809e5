// Small conversions of Python values that several modules need.
#pragma once

#include "core.h"

#include <string>
#include <vector>

namespace brindle::interop {

// A name's own text; ascii() of it for a str that has no UTF-8 form (lone
// surrogates), which still tells names apart and can always be shown.
std::string name_text(nb::handle name);

// `a, b, ... = item` for `count` names, with Python's own errors for a wrong count.
std::vector<nb::object> unpack(nb::handle item, size_t count);

// A flag as Python writes it in record texts.
inline const char *bool_text(bool value) { return value ? "True" : "False"; }

}  // namespace brindle::interop
