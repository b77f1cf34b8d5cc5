#pragma once

#include <cstdio>
#include <string>

namespace App {

// Opens a file the run reads (the OBJ file, the object flags file, the light file) for reading
// in binary mode. Null when it cannot be opened or is a folder: a folder opens for reading on
// some systems and fails only at the first read, where it would pass for a damaged file.
std::FILE* OpenInputFile(const std::string& path);

}  // namespace App
