#pragma once

#include <cstddef>
#include <cstdint>

namespace Image {

// Undoes the PNG row filter `type` (0 None, 1 Sub, 2 Up, 3 Average, 4 Paeth) in place. `prior`
// is the previous row of the same pass, already unfiltered, or null for a pass's first row
// (which filters against zeros). bytesPerPixel is 1 to 8. False for a type above 4.
bool UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bytesPerPixel);

// The same, one byte at a time as the filters are defined: the reference for the fast path.
bool UnfilterRowPlain(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bytesPerPixel);

}  // namespace Image
