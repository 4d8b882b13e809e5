// Arguments that must be pandas DataFrames.
#pragma once

#include "args.h"
#include "module.h"

namespace brindle::interop {

// Argument i, a pandas DataFrame of the module's `pd` (so a patched pandas
// is respected); TypeError otherwise, before anything happens.
inline nb::handle frame_arg(const Args &a, size_t i) {
    static const Name kPd{"pd"};
    static const Name kDataFrame{"DataFrame"};
    return a.instance_of(i, attr(this_module().get(kPd), kDataFrame), "a pandas DataFrame");
}

}  // namespace brindle::interop
