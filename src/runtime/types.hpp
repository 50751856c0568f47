#pragma once

#include <cstdint>

// The scalar types of the data model: a 32-bit signed count, a double
// probability and a one-byte truth value.
using Int = std::int32_t;
using Real = double;
using Boolean = bool;
