#include "app/mesh_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace App {
namespace {

// Pages are numbered from 0 without gaps, and each one is a file to read: a page number this
// high is a damaged line, not a real atlas.
constexpr int32_t maxPage = 65535;
constexpr int numbersPerLine = 10;

// A cursor over one line that reads whitespace-separated fields.
struct LineFields {
    const char* at;
    const char* end;

    void SkipBlanks()
    {
        while (at < end && (*at == ' ' || *at == '\t'))
            at++;
    }
    // A field must end at a blank or at the end of the line, so "1.5x" is not read as 1.5.
    bool FieldEnded() const { return at == end || *at == ' ' || *at == '\t'; }

    bool ReadFloat(float& value)
    {
        SkipBlanks();
        auto [next, problem] = std::from_chars(at, end, value);
        if (problem != std::errc() || !std::isfinite(value))
            return false;
        at = next;
        return FieldEnded();
    }

    bool ReadInt(int32_t& value)
    {
        SkipBlanks();
        auto [next, problem] = std::from_chars(at, end, value);
        if (problem != std::errc())
            return false;
        at = next;
        return FieldEnded();
    }
};

bool Fail(std::string& error, size_t line, const std::string& problem)
{
    error = "line " + std::to_string(line) + ": " + problem;
    return false;
}

// Parses one corner line; `page` receives its page.
bool ParseCorner(std::string_view line, BakedCorner& corner, int32_t& page, std::string& problem)
{
    LineFields fields{line.data(), line.data() + line.size()};
    float v[numbersPerLine];
    for (int i = 0; i < numbersPerLine; i++) {
        if (!fields.ReadFloat(v[i])) {
            problem = "field " + std::to_string(i + 1) + " is not a finite number";
            return false;
        }
    }
    int32_t chart;
    if (!fields.ReadInt(page) || !fields.ReadInt(chart)) {
        problem = "the page and chart after the ten numbers are not both whole numbers";
        return false;
    }
    if (page < 0 || page > maxPage) {
        problem = "page " + std::to_string(page) + " is out of range (0 to " + std::to_string(maxPage) + ")";
        return false;
    }
    corner = BakedCorner{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7]}, {v[8], v[9]}};
    return true;
}

}  // namespace

bool ParseMeshText(std::string_view text, BakedMesh& mesh, std::string& error)
{
    mesh = BakedMesh{};
    const size_t lineEnds = size_t(std::count(text.begin(), text.end(), '\n'));
    mesh.corners.reserve(lineEnds + 1);
    mesh.pages.reserve(lineEnds / 3 + 1);
    size_t lineNumber = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        lineNumber++;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        BakedCorner corner;
        int32_t page;
        std::string problem;
        if (!ParseCorner(line, corner, page, problem))
            return Fail(error, lineNumber, problem);
        const bool firstOfTriangle = mesh.corners.size() % 3 == 0;
        if (firstOfTriangle)
            mesh.pages.push_back(page);
        else if (page != mesh.pages.back())
            return Fail(error, lineNumber,
                        "page " + std::to_string(page) + " differs from page " + std::to_string(mesh.pages.back()) +
                            " of the other corners of its triangle");
        mesh.corners.push_back(corner);
    }
    if (mesh.corners.size() % 3 != 0)
        return Fail(error, lineNumber, "the file ends inside a triangle (each triangle has three lines)");
    return true;
}

MeshReadResult ReadMeshFile(const std::string& path, BakedMesh& mesh, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot open " + path;
        return MeshReadResult::Missing;
    }
    std::string text;
    char block[1 << 16];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0)
        text.append(block, n);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) {
        error = "cannot read " + path;
        return MeshReadResult::Missing;
    }
    if (!ParseMeshText(text, mesh, error)) {
        error = path + " " + error;
        return MeshReadResult::Malformed;
    }
    return MeshReadResult::Ok;
}

int32_t PageCountOf(const BakedMesh& mesh)
{
    int32_t highest = -1;
    for (int32_t page : mesh.pages)
        highest = std::max(highest, page);
    return highest + 1;
}

}  // namespace App
