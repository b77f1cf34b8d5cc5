#include "engine/mesh/obj_reader.h"

#include <algorithm>
#include <climits>
#include <numeric>

#include "core/hash_map.h"
#include "core/log.h"
#include "core/tokenizer.h"

namespace Engine {
namespace {

using Core::TokenKind::Integer;
using Core::TokenKind::Minus;
using Core::TokenKind::Plus;

const char* const parseErrorFormat = "Obj parse error at line %d (near column %d in file %s)";
const char* const invalidIndexMessages[3] = {"Invalid vertex index found", "Invalid uv index found",
                                             "Invalid vnorm index found"};
const char* const sameVertexMessage = "Skipping same face vertex";
const char* const collinearMessage = "ObjParse: skipping collinear triangle";

// A fan triangle whose middle corner lies this close (in scaled units) to the line through the
// other two is dropped as degenerate. Raising it drops thin but real slivers.
constexpr float collinearTolerance = 1.0f / 1152.0f;

// The stream is read in blocks of this size.
constexpr size_t readBufferSize = 8192;

bool StartsIndex(int32_t kind) { return kind == Integer || kind == Plus || kind == Minus; }

Geom::Vec3 Scaled(Geom::Vec3 a, Geom::Vec3 scale) { return {a.x * scale.x, a.y * scale.y, a.z * scale.z}; }

// Keys are hashed as bytes, but welding merges values that compare equal as floats: adding +0
// turns -0 into +0 so the two meet in one entry.
Geom::Vec3 WeldKey(Geom::Vec3 a) { return {a.x + 0.0f, a.y + 0.0f, a.z + 0.0f}; }
Geom::Vec2 WeldKey(Geom::Vec2 a) { return {a.x + 0.0f, a.y + 0.0f}; }

// Merges equal values into the first of them, keeping the distinct values in order of first
// appearance; remap[old index] gives the new one. A value with a NaN equals nothing and stays.
// The distinct values are packed to the front of the list in place: a value never moves up.
template <class V>
void WeldList(std::vector<V>& list, std::vector<int32_t>& remap)
{
    Core::HashMap<V, int32_t> map;
    map.Reserve(int32_t(list.size()));
    remap.resize(list.size());
    size_t distinctCount = 0;
    for (size_t i = 0; i < list.size(); i++) {
        V value = list[i];
        V key = WeldKey(value);
        bool added = true;
        int32_t entry = -1;
        if (key == key)
            entry = map.FindOrAdd(key, int32_t(distinctCount), added);
        if (added) {
            remap[i] = int32_t(distinctCount);
            list[distinctCount++] = value;
        } else {
            remap[i] = map[entry].value;
        }
    }
    list.resize(distinctCount);
}

void Remap(int32_t& index, const std::vector<int32_t>& remap)
{
    if (index >= 0)
        index = remap[size_t(index)];
}

}  // namespace

void ObjReader::Clear()
{
    positions.clear();
    uvs.clear();
    normals.clear();
    triangles.clear();
    polygons.clear();
    polygonCorners.clear();
    nameSets.clear();
    mtllibName.clear();
    materialName.clear();
    objectName.clear();
    groupName.clear();
    partCount = 0;
    hasNormals = false;
    currentPart = -1;
    lastError.clear();
    ReleaseScratch();
}

void ObjReader::ReleaseScratch()
{
    faceCorners = {};
    pendingTriangles.Release();
    currentNameSet = -1;
}

std::string ObjReader::ParseErrorText(const Core::Token& token) const
{
    int length = std::snprintf(nullptr, 0, parseErrorFormat, token.line, token.column, fileName.c_str());
    std::string text(size_t(std::max(length, 0)) + 1, '\0');
    std::snprintf(text.data(), text.size(), parseErrorFormat, token.line, token.column, fileName.c_str());
    text.pop_back();
    return text;
}

bool ObjReader::ParseError(const Core::Token& token)
{
    lastError = ParseErrorText(token);
    Core::Log(lastError);
    return false;
}

bool ObjReader::IndexError(const char* message)
{
    lastError = message;
    Core::Log(lastError);
    return false;
}

bool ObjReader::Parse(std::FILE* stream, const std::string& name, Geom::Vec3 scale, int mode)
{
    Clear();
    fileName = name;
    nameMode = mode;

    Core::StreamCharSource source(stream, readBufferSize);
    Core::Tokenizer tokenizer(Core::TokenizerMode::Obj);
    tokenizer.SetSource(&source, fileName);
    Core::Token token;
    const int restOfLine = Core::restOfLineKeepHash | Core::restOfLineDropSpaces;

    for (;;) {
        int32_t kind = tokenizer.NextToken(token);
        switch (kind) {
        case Core::TokenKind::End:
            if (source.Failed()) {
                ReleaseScratch();
                return ParseError(token);
            }
            Finish(scale);
            return true;
        case Core::TokenKind::Error:
            return ParseError(token);
        case Core::TokenKind::ObjV:
        case Core::TokenKind::ObjVn: {
            Geom::Vec3 v;
            if (!ReadNumber(tokenizer, token, v.x) || !ReadNumber(tokenizer, token, v.y) ||
                !ReadNumber(tokenizer, token, v.z))
                return false;
            tokenizer.ReadRestOfLine(token, restOfLine);
            (kind == Core::TokenKind::ObjV ? positions : normals).push_back(v);
            break;
        }
        case Core::TokenKind::ObjVt: {
            Geom::Vec2 uv;
            if (!ReadNumber(tokenizer, token, uv.x) || !ReadNumber(tokenizer, token, uv.y))
                return false;
            tokenizer.ReadRestOfLine(token, restOfLine);
            uvs.push_back({uv.x, 1.0f - uv.y});
            break;
        }
        case Core::TokenKind::ObjVp:
        case Core::TokenKind::ObjS:
            tokenizer.ReadRestOfLine(token, restOfLine);
            break;
        case Core::TokenKind::ObjF:
            if (!ReadFace(tokenizer, scale))
                return false;
            break;
        case Core::TokenKind::ObjO:
        case Core::TokenKind::ObjG:
        case Core::TokenKind::ObjMtllib:
        case Core::TokenKind::ObjUsemtl: {
            if (tokenizer.ReadRestOfLine(token, restOfLine) == Core::TokenKind::Error)
                return ParseError(token);
            if (kind == Core::TokenKind::ObjO || kind == Core::TokenKind::ObjG)
                currentPart = -1;
            if (kind != Core::TokenKind::ObjMtllib)
                currentNameSet = -1;
            std::string& target = kind == Core::TokenKind::ObjO     ? objectName
                                  : kind == Core::TokenKind::ObjG   ? groupName
                                  : kind == Core::TokenKind::ObjMtllib ? mtllibName
                                                                        : materialName;
            target.swap(token.text);
            break;
        }
        default:
            break;  // statements we do not use, and their arguments
        }
    }
}

// An optional sign and an integer or floating-point literal.
bool ObjReader::ReadNumber(Core::Tokenizer& tokenizer, Core::Token& token, float& number)
{
    int32_t kind = tokenizer.NextToken(token);
    double sign = 1;
    if (kind == Plus || kind == Minus) {
        sign = kind == Minus ? -1 : 1;
        kind = tokenizer.NextToken(token);
    }
    double value;
    if (kind == Integer)
        value = double(token.value);
    else if (kind == Core::TokenKind::Float)
        value = token.floatValue;
    else
        return ParseError(token);
    number = float(value * sign);
    return true;
}

// An optional sign and an integer: n names element n - 1, -n the n-th from the end of the list as
// it stands now. Zero fails without a log line; its position is kept in LastError.
bool ObjReader::ReadIndex(Core::Tokenizer& tokenizer, int slot, int32_t& index)
{
    int32_t kind = tokenizer.PeekToken();
    bool negative = false;
    if (kind == Plus || kind == Minus) {
        negative = kind == Minus;
        tokenizer.SkipToken();
        kind = tokenizer.PeekToken();
    }
    const Core::Token& token = tokenizer.PeekedToken();
    if (kind != Integer)
        return ParseError(token);
    uint64_t n = token.value;
    if (n == 0) {
        lastError = ParseErrorText(token);
        return false;
    }
    size_t count = slot == 0 ? positions.size() : slot == 1 ? uvs.size() : normals.size();
    if (n > count)
        return IndexError(invalidIndexMessages[slot]);
    uint64_t position = negative ? count - n : n - 1;
    if (position > uint64_t(INT32_MAX))
        return IndexError(invalidIndexMessages[slot]);
    index = int32_t(position);
    tokenizer.SkipToken();
    return true;
}

// A run of corners, each up to three indices separated by slashes; it ends at the first token that
// cannot start an index, so a face may go on over the next line.
bool ObjReader::ReadFace(Core::Tokenizer& tokenizer, Geom::Vec3 scale)
{
    if (currentPart == -1)
        currentPart = partCount++;
    faceCorners.clear();
    while (StartsIndex(tokenizer.PeekToken())) {
        ObjCorner corner;
        if (!ReadIndex(tokenizer, 0, corner.vertex))
            return false;
        int slot = 0;
        while (tokenizer.PeekToken() == Core::TokenKind::Slash) {
            if (++slot > 2)
                return ParseError(tokenizer.PeekedToken());
            tokenizer.SkipToken();
            // After a slash a number must be an index: "1/2.5" is malformed, not a face end.
            int32_t next = tokenizer.PeekToken();
            if (next == Core::TokenKind::Float)
                return ParseError(tokenizer.PeekedToken());
            if (StartsIndex(next) && !ReadIndex(tokenizer, slot, slot == 1 ? corner.uv : corner.normal))
                return false;
        }
        faceCorners.push_back(corner);
    }
    AddFace(scale);
    return true;
}

// The names as they stand now, shared by all faces until a statement changes one of them.
int32_t ObjReader::CurrentNameSet()
{
    if (currentNameSet >= 0)
        return currentNameSet;
    const std::string& name = nameMode == 0 ? materialName : nameMode == 1 ? groupName : objectName;
    if (!nameSets.empty()) {
        const ObjNames& last = nameSets.back();
        if (last.name == name && last.group == groupName && last.object == objectName)
            return currentNameSet = int32_t(nameSets.size()) - 1;
    }
    nameSets.push_back({name, groupName, objectName});
    return currentNameSet = int32_t(nameSets.size()) - 1;
}

void ObjReader::AddFace(Geom::Vec3 scale)
{
    size_t cornerCount = faceCorners.size();
    if (cornerCount < 3)
        return;
    int32_t nameSet = CurrentNameSet();

    size_t firstCorner = polygonCorners.size();
    for (const ObjCorner& corner : faceCorners) {
        if (polygonCorners.size() > firstCorner &&
            positions[size_t(corner.vertex)] == positions[size_t(polygonCorners.back().vertex)]) {
            Core::Log(sameVertexMessage);
            continue;
        }
        polygonCorners.push_back(corner);
    }
    size_t kept = polygonCorners.size() - firstCorner;
    if (kept >= 3)
        polygons.push_back({int32_t(firstCorner), int32_t(kept), currentPart, nameSet});
    else
        polygonCorners.resize(firstCorner);

    // The fan runs over the corners as read, repeated positions included; the collinear test
    // drops what they would make degenerate.
    const float toleranceSquared = collinearTolerance * collinearTolerance;
    const ObjCorner& first = faceCorners[0];
    Geom::Vec3 p0 = Scaled(positions[size_t(first.vertex)], scale);
    for (size_t k = 2; k < cornerCount; k++) {
        const ObjCorner& middle = faceCorners[k - 1];
        const ObjCorner& last = faceCorners[k];
        Geom::Vec3 p1 = Scaled(positions[size_t(middle.vertex)], scale);
        Geom::Vec3 p2 = Scaled(positions[size_t(last.vertex)], scale);
        Geom::Vec3 along = p2 - p0;
        float lengthSquared = Geom::Dot(along, along);
        if (lengthSquared > 0) {
            Geom::Vec3 offset = p1 - p0;
            float t = Geom::Dot(offset, along) / lengthSquared;
            Geom::Vec3 away = offset - along * t;
            if (Geom::Dot(away, away) <= toleranceSquared) {
                Core::Log(collinearMessage);
                continue;
            }
        }
        pendingTriangles.push_back({{first.vertex, middle.vertex, last.vertex},
                                    {first.uv, middle.uv, last.uv},
                                    {first.normal, middle.normal, last.normal},
                                    currentPart,
                                    nameSet});
    }
}

void ObjReader::Finish(Geom::Vec3 scale)
{
    for (Geom::Vec3& position : positions)
        position = Scaled(position, scale);
    Weld();

    int32_t missingUv = -1;
    for (ObjTriangle& triangle : pendingTriangles) {
        for (int32_t& uv : triangle.uv) {
            if (uv >= 0)
                continue;
            if (missingUv < 0) {
                missingUv = int32_t(uvs.size());
                uvs.push_back({0, 0});
            }
            uv = missingUv;
        }
    }
    hasNormals = std::none_of(pendingTriangles.begin(), pendingTriangles.end(), [](const ObjTriangle& triangle) {
        return triangle.normal[0] < 0 || triangle.normal[1] < 0 || triangle.normal[2] < 0;
    });

    BuildTriangles();
    ReleaseScratch();
}

// Rank of each name set's name in byte order; equal names share a rank.
std::vector<int32_t> ObjReader::NameRanks() const
{
    std::vector<int32_t> sets(nameSets.size());
    std::iota(sets.begin(), sets.end(), 0);
    std::stable_sort(sets.begin(), sets.end(),
                     [&](int32_t a, int32_t b) { return nameSets[size_t(a)].name < nameSets[size_t(b)].name; });
    std::vector<int32_t> rank(nameSets.size());
    int32_t rankCount = 0;
    for (size_t i = 0; i < sets.size(); i++) {
        if (i > 0 && nameSets[size_t(sets[i])].name != nameSets[size_t(sets[i - 1])].name)
            rankCount++;
        rank[size_t(sets[i])] = rankCount;
    }
    return rank;
}

// Sorts the triangles by name in byte order, stably, so the triangles of one material keep their
// file order. The names live in the few name sets, so this is a counting sort over the ranks of
// the sets; a file already in order (one material, or materials in order) is taken as it is.
void ObjReader::BuildTriangles()
{
    std::vector<int32_t> rank = NameRanks();
    bool sorted = true;
    for (size_t t = 1; t < pendingTriangles.size() && sorted; t++)
        sorted = rank[size_t(pendingTriangles[t - 1].names)] <= rank[size_t(pendingTriangles[t].names)];
    triangles.clear();
    if (sorted) {
        triangles.Swap(pendingTriangles);
        return;
    }

    int32_t rankCount = 0;
    for (int32_t r : rank)
        rankCount = std::max(rankCount, r + 1);
    std::vector<size_t> start(size_t(rankCount) + 1, 0);
    for (const ObjTriangle& triangle : pendingTriangles)
        start[size_t(rank[size_t(triangle.names)]) + 1]++;
    for (size_t r = 1; r < start.size(); r++)
        start[r] += start[r - 1];
    triangles.resize(pendingTriangles.size());
    for (const ObjTriangle& triangle : pendingTriangles)
        triangles[start[size_t(rank[size_t(triangle.names)])]++] = triangle;
}

void ObjReader::Weld()
{
    std::vector<int32_t> positionRemap, uvRemap, normalRemap;
    WeldList(positions, positionRemap);
    WeldList(uvs, uvRemap);
    WeldList(normals, normalRemap);
    for (ObjTriangle& triangle : pendingTriangles) {
        for (int i = 0; i < 3; i++) {
            Remap(triangle.vertex[i], positionRemap);
            Remap(triangle.uv[i], uvRemap);
            Remap(triangle.normal[i], normalRemap);
        }
    }
    // The polygons' uv and normal indices move with the lists too, or they would name other
    // entries after welding.
    for (ObjCorner& corner : polygonCorners) {
        Remap(corner.vertex, positionRemap);
        Remap(corner.uv, uvRemap);
        Remap(corner.normal, normalRemap);
    }
}

void ObjReader::ConvertAxes()
{
    for (Geom::Vec3& p : positions)
        p = ObjToEngineAxes(p);
    for (Geom::Vec3& n : normals)
        n = ObjToEngineAxes(n);
    for (ObjTriangle& triangle : triangles) {
        std::swap(triangle.vertex[0], triangle.vertex[2]);
        std::swap(triangle.uv[0], triangle.uv[2]);
        std::swap(triangle.normal[0], triangle.normal[2]);
    }
    for (const ObjPolygon& polygon : polygons) {
        auto first = polygonCorners.begin() + polygon.firstCorner;
        std::reverse(first, first + polygon.cornerCount);
    }
}

}  // namespace Engine
