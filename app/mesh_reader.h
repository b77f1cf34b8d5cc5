#pragma once

#include <string>
#include <string_view>

#include "app/gltf_writer.h"

namespace App {

enum class MeshReadResult {
    Ok,
    Missing,    // the file could not be opened or read
    Malformed,  // the text is not a mesh file as the tool writes it
};

// Reads a mesh file back: three lines per triangle, each with ten numbers (position, normal,
// uv, lightmap uv), the page and the chart, then the object name, which is not kept. Fields
// may be separated by any run of spaces and tabs and lines may end in CR LF. pagePngs is left
// empty; `mesh` is complete only on Ok. `error` names the first problem and its line.
MeshReadResult ReadMeshFile(const std::string& path, BakedMesh& mesh, std::string& error);

// The parsing half of ReadMeshFile, over text already in memory; false when it is malformed.
bool ParseMeshText(std::string_view text, BakedMesh& mesh, std::string& error);

// One more than the highest page any triangle lies on; 0 for a mesh without triangles.
int32_t PageCountOf(const BakedMesh& mesh);

}  // namespace App
