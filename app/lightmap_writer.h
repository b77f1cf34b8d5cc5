#pragma once

#include <string>
#include <vector>

namespace Engine {
class Lightmapper;
}

namespace App {

// File name of atlas page `page`, relative to the current directory.
std::string LightmapFileName(int page);

// Writes every atlas page of the first basis as an opaque PNG, pages in parallel on the global
// pool, printing "i/n" as each page starts. Returns the names of the files that could not be
// created or fully written, in page order; the other pages are written regardless.
std::vector<std::string> WriteLightmapImages(const Engine::Lightmapper& lightmapper);

}  // namespace App
