#include "common/debug.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>

std::int32_t debug_mask = 0;

// strtol already clamps where long has 32 bits; elsewhere clamp here.
std::int32_t parse_mask(const char *text) {
    const long long value = std::strtol(text, nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}
