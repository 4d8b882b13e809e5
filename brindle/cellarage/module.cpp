#include "_interop/interop.h"

NB_MODULE(cellarage, m) { m.doc() = "Persistence for brindle."; }
