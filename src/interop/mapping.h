// Item access on Python mappings that report absence instead of raising.
#pragma once

#include "core.h"

namespace brindle::interop {

// mapping[key], or an invalid object when the key is absent.
nb::object find_item(nb::handle mapping, nb::handle key);

bool contains(nb::handle container, nb::handle key);

void set_item(nb::handle mapping, nb::handle key, nb::handle value);

void del_item(nb::handle mapping, nb::handle key);

// left == right, as Python compares them.
bool equal(nb::handle left, nb::handle right);

}  // namespace brindle::interop
