// Test hooks of the core, reachable from Python only when TESSRA_TEST_HOOKS is
// set (non-empty) at import (see test_hooks.cpp); the module is unchanged otherwise.
#pragma once

#include "python/ref.hpp"

namespace tessra::py {

bool install_test_hooks(PyObject* module);

}  // namespace tessra::py
