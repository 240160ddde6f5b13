#include "common/debug.hpp"

std::int32_t debug_mask = 0;
