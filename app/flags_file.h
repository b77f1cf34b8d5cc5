#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Engine {
class Lightmapper;
}  // namespace Engine

namespace App {

// Per-object settings of the flags file (-x). A listed object without a number gets flag word 1:
// its triangles cast no occlusion.
struct ObjectFlags {
    std::string name;
    uint32_t flags = 1;
    int32_t modelId = -1;
    std::string alphaMap;  // path of a PNG image; empty when none
};

// The entries in the order their names first appear in the file, found by exact name.
class ObjectFlagsTable {
public:
    // Inserts the entry, or gives an earlier entry of the same name all of its values and
    // leaves it in its place.
    void Set(const ObjectFlags& entry);
    // Null when the name is not listed.
    const ObjectFlags* Find(const std::string& name) const;
    const std::vector<ObjectFlags>& Entries() const { return entries; }
    bool IsEmpty() const { return entries.empty(); }

private:
    std::vector<ObjectFlags> entries;
    std::unordered_map<std::string, int32_t> index;
};

// Called once per entry as it is read, after the table holds it; a result other than ExitSuccess
// ends the parse with that code.
using ObjectFlagsEntryHandler = std::function<int(const ObjectFlags&)>;

// Parses the text of a flags file held in memory into the table, handing each entry to `onEntry`
// as it is read. `sourceName` stands for the path in messages, which go to `errors`. The result
// is ExitSuccess or the exit code of the first failure, which ends the parse.
int ParseObjectFlags(std::string_view text, const std::string& sourceName, ObjectFlagsTable& table,
                     const ObjectFlagsEntryHandler& onEntry, std::FILE* errors);

// Reads the flags file at `path` into the table, registers every entry's name with the
// lightmapper (so listed objects take the first object indices, in file order) and hands it the
// alpha maps. Errors are reported on standard error; the result is ExitSuccess or the exit
// code of the first failure, which ends the load.
int LoadObjectFlags(const std::string& path, ObjectFlagsTable& table, Engine::Lightmapper& lightmapper);

// "object flags:" and one line per entry, on standard output.
void PrintObjectFlags(const ObjectFlagsTable& table);

}  // namespace App
