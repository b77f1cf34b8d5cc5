#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Engine {
class Lightmapper;
}

namespace App {

// File name of atlas page `page`, relative to the current directory.
std::string LightmapFileName(int page);

// Encodes atlas page `page` of the first basis as an opaque PNG into `file`, which the caller
// opened and closes. False with the system's reason in `error` when a write fails, or when the
// lightmapper's build has been cancelled meanwhile (a stop request during the writes).
bool WritePagePng(const Engine::Lightmapper& lightmapper, int32_t page, std::FILE* file, std::string& error);

// WritePagePng for every page into files[page], pages in parallel on the global pool, printing
// "i/n" as each page starts. Returns one error per page, empty for the pages written.
std::vector<std::string> WriteLightmapPages(const Engine::Lightmapper& lightmapper,
                                            const std::vector<std::FILE*>& files);

// Creates the page files under their names in the current directory and writes them as
// WriteLightmapPages does. Returns the names of the files that could not be created or fully
// written, in page order; the other pages are written regardless.
std::vector<std::string> WriteLightmapImages(const Engine::Lightmapper& lightmapper);

}  // namespace App
