#include "app/input_file.h"

#include <filesystem>

namespace App {

std::FILE* OpenInputFile(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return nullptr;
    return std::fopen(path.c_str(), "rb");
}

}  // namespace App
