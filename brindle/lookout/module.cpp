#include "_interop/interop.h"

NB_MODULE(lookout, m) { m.doc() = "Query operations for brindle - SQL filtering and data retrieval."; }
