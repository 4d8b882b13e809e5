#include "_interop/interop.h"

NB_MODULE(joinery, m) { m.doc() = "\nDuckDB Table Creation Utilities\n\nHelpers for creating and managing DuckDB tables in cache.\n"; }
