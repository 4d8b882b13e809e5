#include "_interop/interop.h"

NB_MODULE(tidewatch, m) { m.doc() = "TTL registry and cleanup management for brindle."; }
