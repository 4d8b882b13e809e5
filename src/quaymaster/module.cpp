#include "interop/interop.h"

NB_MODULE(quaymaster, m) { m.doc() = "Cache manager for brindle."; }
