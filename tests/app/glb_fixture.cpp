#include "glb_fixture.h"

#include <cstdlib>
#include <cstring>

namespace TestSupport {
namespace {

struct JsonParser {
    std::string_view text;
    size_t at = 0;

    void SkipSpace()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t'))
            at++;
    }
    bool Literal(std::string_view word)
    {
        if (text.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }
    bool ParseString(std::string& out)
    {
        if (at >= text.size() || text[at] != '"')
            return false;
        for (at++; at < text.size(); at++) {
            char c = text[at];
            if (c == '"') {
                at++;
                return true;
            }
            if (c == '\\') {
                if (++at >= text.size())
                    return false;
                char e = text[at];
                // The writer only ever escapes these; \u is not needed by the tests.
                if (e == '"' || e == '\\' || e == '/')
                    out += e;
                else if (e == 'n')
                    out += '\n';
                else
                    return false;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            } else {
                out += c;
            }
        }
        return false;
    }
    bool ParseNumber(double& out)
    {
        const char* begin = text.data() + at;
        size_t length = 0;
        while (at + length < text.size() && std::strchr("+-0123456789.eE", text[at + length]) != nullptr)
            length++;
        if (length == 0)
            return false;
        std::string digits(begin, length);
        char* end = nullptr;
        out = std::strtod(digits.c_str(), &end);
        at += length;
        return end == digits.c_str() + length;
    }
    bool ParseValue(Json& value, int depth)
    {
        if (depth > 64)
            return false;
        SkipSpace();
        if (at >= text.size())
            return false;
        char c = text[at];
        if (c == '{') {
            value.kind = Json::Object;
            at++;
            SkipSpace();
            if (at < text.size() && text[at] == '}')
                return at++, true;
            for (;;) {
                SkipSpace();
                std::pair<std::string, Json> member;
                if (!ParseString(member.first))
                    return false;
                SkipSpace();
                if (!Literal(":") || !ParseValue(member.second, depth + 1))
                    return false;
                value.members.push_back(std::move(member));
                SkipSpace();
                if (Literal("}"))
                    return true;
                if (!Literal(","))
                    return false;
            }
        }
        if (c == '[') {
            value.kind = Json::Array;
            at++;
            SkipSpace();
            if (at < text.size() && text[at] == ']')
                return at++, true;
            for (;;) {
                value.items.emplace_back();
                if (!ParseValue(value.items.back(), depth + 1))
                    return false;
                SkipSpace();
                if (Literal("]"))
                    return true;
                if (!Literal(","))
                    return false;
            }
        }
        if (c == '"') {
            value.kind = Json::String;
            return ParseString(value.text);
        }
        if (Literal("true") || Literal("false")) {
            value.kind = Json::Bool;
            value.flag = text[at - 1] == 'e' && text[at - 2] == 'u';
            return true;
        }
        if (Literal("null"))
            return true;
        value.kind = Json::Number;
        return ParseNumber(value.number);
    }
};

uint32_t Read32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The byte range of an accessor's first element and its stride, or false.
bool AccessorRange(const Glb& glb, int accessor, int componentBytes, int components, size_t& first,
                   size_t& stride, size_t& count, std::string& problem)
{
    const Json& a = glb.json["accessors"][size_t(accessor)];
    const Json& view = glb.json["bufferViews"][size_t(a["bufferView"].Int())];
    count = size_t(a["count"].number);
    const size_t element = size_t(componentBytes * components);
    stride = view.Has("byteStride") ? size_t(view["byteStride"].number) : element;
    const size_t viewOffset = size_t(view["byteOffset"].number), viewLength = size_t(view["byteLength"].number);
    const size_t offset = size_t(a["byteOffset"].number);
    first = viewOffset + offset;
    if (viewOffset + viewLength > glb.bin.size() || count == 0 || offset + (count - 1) * stride + element > viewLength) {
        problem = "accessor " + std::to_string(accessor) + " does not fit its buffer view";
        return false;
    }
    if (first % size_t(componentBytes) != 0 || stride % size_t(componentBytes) != 0) {
        problem = "accessor " + std::to_string(accessor) + " is not aligned to its component size";
        return false;
    }
    return true;
}

int ComponentsOf(const std::string& type)
{
    return type == "SCALAR" ? 1 : type == "VEC2" ? 2 : type == "VEC3" ? 3 : type == "VEC4" ? 4 : 0;
}

}  // namespace

bool Json::Has(const std::string& key) const
{
    for (const auto& member : members) {
        if (member.first == key)
            return true;
    }
    return false;
}

const Json& Json::operator[](const std::string& key) const
{
    static const Json none;
    for (const auto& member : members) {
        if (member.first == key)
            return member.second;
    }
    return none;
}

const Json& Json::operator[](size_t index) const
{
    static const Json none;
    return kind == Array && index < items.size() ? items[index] : none;
}

bool ParseJson(std::string_view text, Json& value)
{
    JsonParser parser{text};
    if (!parser.ParseValue(value, 0))
        return false;
    parser.SkipSpace();
    return parser.at == text.size();
}

Glb ParseGlb(const std::vector<uint8_t>& bytes)
{
    Glb glb;
    if (bytes.size() < 20 || Read32(&bytes[0]) != 0x46546C67 || Read32(&bytes[4]) != 2) {
        glb.problem = "no glTF 2 header";
        return glb;
    }
    if (Read32(&bytes[8]) != bytes.size()) {
        glb.problem = "the header's length is not the file's";
        return glb;
    }
    const size_t jsonLength = Read32(&bytes[12]);
    if (Read32(&bytes[16]) != 0x4E4F534A || jsonLength % 4 != 0 || jsonLength > bytes.size() - 20) {
        glb.problem = "the first chunk is not a whole, padded JSON chunk";
        return glb;
    }
    glb.jsonText.assign(reinterpret_cast<const char*>(&bytes[20]), jsonLength);
    if (!ParseJson(glb.jsonText, glb.json)) {
        glb.problem = "the JSON chunk does not parse (spaces are the only padding allowed)";
        return glb;
    }
    size_t at = 20 + jsonLength;
    if (at < bytes.size()) {
        if (bytes.size() - at < 8 || Read32(&bytes[at + 4]) != 0x004E4942) {
            glb.problem = "a second chunk that is not BIN";
            return glb;
        }
        const size_t binLength = Read32(&bytes[at]);
        if (binLength % 4 != 0 || binLength != bytes.size() - at - 8) {
            glb.problem = "the BIN chunk's length is not padded or not the rest of the file";
            return glb;
        }
        glb.bin.assign(bytes.begin() + long(at + 8), bytes.end());
        glb.hasBinChunk = true;
    }
    const Json& buffers = glb.json["buffers"];
    if (glb.hasBinChunk != (buffers.Size() == 1) ||
        (glb.hasBinChunk && size_t(buffers[0]["byteLength"].number) != glb.bin.size()))
        glb.problem = "the buffer does not describe the BIN chunk";
    return glb;
}

std::vector<float> AccessorFloats(const Glb& glb, int accessor, std::string& problem)
{
    const Json& a = glb.json["accessors"][size_t(accessor)];
    const int components = ComponentsOf(a["type"].text);
    size_t first, stride, count;
    if (a["componentType"].Int() != 5126 || components == 0) {
        problem = "accessor " + std::to_string(accessor) + " is not a float vector";
        return {};
    }
    if (!AccessorRange(glb, accessor, 4, components, first, stride, count, problem))
        return {};
    std::vector<float> values(count * size_t(components));
    for (size_t i = 0; i < count; i++)
        std::memcpy(&values[i * size_t(components)], &glb.bin[first + i * stride], size_t(components) * 4);
    return values;
}

std::vector<uint32_t> AccessorIndices(const Glb& glb, int accessor, std::string& problem)
{
    const Json& a = glb.json["accessors"][size_t(accessor)];
    const int type = a["componentType"].Int();
    const int bytes = type == 5123 ? 2 : type == 5125 ? 4 : 0;
    size_t first, stride, count;
    if (bytes == 0 || a["type"].text != "SCALAR") {
        problem = "accessor " + std::to_string(accessor) + " is not unsigned short or int scalars";
        return {};
    }
    if (!AccessorRange(glb, accessor, bytes, 1, first, stride, count, problem))
        return {};
    std::vector<uint32_t> values(count);
    for (size_t i = 0; i < count; i++) {
        const uint8_t* p = &glb.bin[first + i * stride];
        values[i] = bytes == 2 ? uint32_t(p[0] | p[1] << 8) : Read32(p);
    }
    return values;
}

std::vector<uint8_t> ViewBytes(const Glb& glb, int view, std::string& problem)
{
    const Json& v = glb.json["bufferViews"][size_t(view)];
    const size_t offset = size_t(v["byteOffset"].number), length = size_t(v["byteLength"].number);
    if (offset > glb.bin.size() || length > glb.bin.size() - offset) {
        problem = "buffer view " + std::to_string(view) + " runs past the BIN chunk";
        return {};
    }
    return std::vector<uint8_t>(glb.bin.begin() + long(offset), glb.bin.begin() + long(offset + length));
}

}  // namespace TestSupport
