#pragma once

#include <cstddef>
#include <cstdint>

namespace Image {

// The CRC-32 of PNG chunks and zip files (reflected polynomial 0xEDB88320). Pass the previous
// result to continue a computation over split data; start with 0.
uint32_t Crc32(const void* bytes, size_t length, uint32_t previous = 0);

}  // namespace Image
