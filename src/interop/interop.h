// The shared interop layer of brindle's extension modules.
#pragma once

#include "args.h"
#include "core.h"
#include "errors.h"
#include "function.h"
#include "gil.h"
#include "handled.h"
#include "logging.h"
#include "module.h"
#include "text.h"
#include "values.h"
