#pragma once

#include <cstddef>
#include <cstdint>

namespace Image {

// The zlib stream checksum. Pass the previous result to continue over split data; start with 1.
uint32_t Adler32(const void* bytes, size_t length, uint32_t previous = 1);

}  // namespace Image
