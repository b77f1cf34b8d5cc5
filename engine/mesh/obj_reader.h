#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/mesh/realloc_array.h"
#include "geom/vec.h"

namespace Core {
class Tokenizer;
struct Token;
}  // namespace Core

namespace Engine {

// All indices 0-based into the reader's lists, -1 when absent. The names are an index into the
// reader's name sets (ObjReader::NamesOf): a big file has millions of triangles and a handful of
// names, and strings per triangle would cost more memory than everything else it reads.
struct ObjTriangle {
    int32_t vertex[3] = {-1, -1, -1};
    int32_t uv[3] = {-1, -1, -1};
    int32_t normal[3] = {-1, -1, -1};
    int32_t part = -1;
    int32_t names = -1;
};

struct ObjCorner {
    int32_t vertex = -1;
    int32_t uv = -1;
    int32_t normal = -1;
};

// Names as they stood when a face was read; `name` is the one chosen by the reader's nameMode:
// material, group or object name.
struct ObjNames {
    std::string name;
    std::string group;
    std::string object;
};

// Corners are polygonCorners[firstCorner .. firstCorner + cornerCount) of the reader, names are
// nameSets[names]: polygons are kept for completeness and cost little this way.
struct ObjPolygon {
    int32_t firstCorner = 0;
    int32_t cornerCount = 0;
    int32_t part = -1;
    int32_t names = -1;
};

// A position or direction of the OBJ file in the engine's axes: (x, y, z) becomes (x, -z, y).
inline Geom::Vec3 ObjToEngineAxes(Geom::Vec3 v) { return {v.x, -v.z, v.y}; }

// Reads a Wavefront OBJ file into indexed, welded triangle lists with names attached. Faces become
// triangle fans; collinear fan triangles are dropped; positions are scaled; triangles are sorted
// by name, keeping file order among equal names; equal positions, normals and texture coordinates
// are merged into the first of them.
class ObjReader {
public:
    // Clears everything and reads the whole stream. The file name is only used in messages. On
    // failure the message (also written to the engine log) is in LastError.
    bool Parse(std::FILE* stream, const std::string& fileName, Geom::Vec3 scale, int nameMode);

    // To the engine's axes: (x, y, z) becomes (x, -z, y) for positions and normals; every
    // triangle swaps its corners 0 and 2 and every polygon reverses its corners.
    void ConvertAxes();

    // Message of the last Parse when it failed, empty after a successful one. An index of 0 fails
    // without a log line; its text is then the parse error message at the index's position.
    const std::string& LastError() const { return lastError; }

    // The names a triangle was read under.
    const ObjNames& NamesOf(const ObjTriangle& triangle) const { return nameSets[size_t(triangle.names)]; }

    std::vector<Geom::Vec3> positions;
    std::vector<Geom::Vec2> uvs;  // v already flipped to 1 - v
    std::vector<Geom::Vec3> normals;
    // Sorted by name, in file order among equal names.
    ReallocArray<ObjTriangle> triangles;
    // The polygons are not needed for the bake; realloc growth keeps their cost low on big files.
    ReallocArray<ObjPolygon> polygons;
    ReallocArray<ObjCorner> polygonCorners;
    std::vector<ObjNames> nameSets;  // distinct runs of names, in file order
    std::string mtllibName;
    std::string materialName;
    std::string objectName;
    std::string groupName;
    int32_t partCount = 0;
    bool hasNormals = false;
    int32_t currentPart = -1;
    int32_t nameMode = 0;  // 0 material, 1 group, other values object

private:
    void Clear();
    void ReleaseScratch();
    bool ReadNumber(Core::Tokenizer& tokenizer, Core::Token& token, float& number);
    bool ReadFace(Core::Tokenizer& tokenizer, Geom::Vec3 scale);
    bool ReadIndex(Core::Tokenizer& tokenizer, int slot, int32_t& index);
    int32_t CurrentNameSet();
    void AddFace(Geom::Vec3 scale);
    void Finish(Geom::Vec3 scale);
    std::vector<int32_t> NameRanks() const;
    void Weld();
    void BuildTriangles();
    std::string ParseErrorText(const Core::Token& token) const;
    bool ParseError(const Core::Token& token);
    bool IndexError(const char* message);

    std::string lastError;
    std::string fileName;
    std::vector<ObjCorner> faceCorners;  // the face being read
    ReallocArray<ObjTriangle> pendingTriangles;  // in file order, sorted into `triangles` at the end
    int32_t currentNameSet = -1;  // -1 after a statement that changes a name
};

}  // namespace Engine
