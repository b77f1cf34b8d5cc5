#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace App {

enum class PageReadResult {
    Ok,
    Missing,    // a page's file could not be opened or read
    Malformed,  // a page's file is not a whole, intact PNG
};

// Why `bytes` is not a whole PNG file (signature, chunks with intact CRCs, IHDR first with a
// non-zero size, at least one IDAT, IEND last and nothing after it), or nullptr when it is one.
// The pixels themselves are not decoded.
const char* PngStructureProblem(const std::vector<uint8_t>& bytes);

// Reads the files of pages 0 to pageCount - 1, named as the tool names them, from `directory`
// (the current directory when empty) into `pngs`, checking each with PngStructureProblem. Stops
// at the first page that fails and describes it in `error`, naming the file.
PageReadResult ReadPageImages(int32_t pageCount, const std::string& directory,
                              std::vector<std::vector<uint8_t>>& pngs, std::string& error);

}  // namespace App
