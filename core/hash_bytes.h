#pragma once

#include <cstddef>
#include <cstdint>

namespace Core {

// Deterministic 32-bit hash of a byte string; no per-process seed, so map iteration and every
// result that depends on it are the same on every run.
uint32_t HashBytes(const void* bytes, size_t length, uint32_t seed);

}  // namespace Core
