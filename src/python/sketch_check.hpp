// Reads the sketch test settings from the environment at import (see sketch_check.cpp).
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

bool install_sketch_check(PyObject* module);

}  // namespace tessra::py
