#pragma once

// Reads binary glTF files back for the tests: the frame, a small JSON parser, and accessor data
// through buffer views, with every offset checked against the chunk it points into.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace TestSupport {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    bool Has(const std::string& key) const;
    // A missing key or index gives a Null value, so chains of lookups stay safe.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const;
    size_t Size() const { return kind == Array ? items.size() : members.size(); }
    int Int() const { return int(number); }
};

// False on anything that is not one complete JSON value.
bool ParseJson(std::string_view text, Json& value);

struct Glb {
    std::string problem;  // empty when the frame is sound
    std::string jsonText;
    Json json;
    std::vector<uint8_t> bin;
    bool hasBinChunk = false;
};

// Checks the header, the chunk order, lengths and padding (spaces after the JSON, zeros after
// the binary data) and that the buffer's byteLength is the binary chunk's.
Glb ParseGlb(const std::vector<uint8_t>& bytes);

// Components of an accessor, read through its buffer view with the view's stride; an empty
// result with `problem` set when an offset or count does not fit.
std::vector<float> AccessorFloats(const Glb& glb, int accessor, std::string& problem);
std::vector<uint32_t> AccessorIndices(const Glb& glb, int accessor, std::string& problem);
// The bytes of a buffer view.
std::vector<uint8_t> ViewBytes(const Glb& glb, int view, std::string& problem);

}  // namespace TestSupport
