#include "app/light_file.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>

#include "app/console.h"
#include "app/driver.h"
#include "core/tokenizer.h"
#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"

namespace App {
namespace {

// Every word the grammar knows. A word from this list in the wrong place is an unexpected
// token; any other word where a keyword belongs is an unknown key.
const char* const keywords[] = {
    "light", "object", "point", "spot", "directional", "ambient", "position", "direction",
    "colour", "range", "cone", "attenuation", "emissive", "reflectance",
};

bool IsKeyword(const std::string& word)
{
    for (const char* keyword : keywords) {
        if (word == keyword)
            return true;
    }
    return false;
}

struct Position {
    int32_t line = 0;
    int32_t column = 0;
};

Position At(const Core::Token& token) { return {token.line, token.column}; }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the whole stream; false on a read error or a file beyond what the tokenizer can count.
bool ReadAll(std::FILE* file, std::string& text)
{
    char block[65536];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, file);
        text.append(block, got);
        if (text.size() > size_t(INT32_MAX))
            return false;
        if (got < sizeof block)
            return !std::ferror(file);
    }
}

// One pass over the file's tokens. Each Read... call reports its own failure and returns false;
// the first failure ends the parse.
class LightFileParser {
public:
    LightFileParser(std::string_view text, const std::string& sourceName, float scale, std::FILE* errors)
        : source(text), sourceName(sourceName), scale(scale), errors(errors), tokenizer(Core::TokenizerMode::ObjectFlags)
    {
        tokenizer.SetSource(&source, sourceName);
    }

    int Parse(LightFile& parsed)
    {
        for (;;) {
            Core::Token token;
            const int32_t kind = tokenizer.NextToken(token);
            if (kind == Core::TokenKind::End)
                return ExitSuccess;
            if (kind != Core::TokenKind::Identifier) {
                Unexpected(At(token));
                return ExitLightsSyntax;
            }
            bool ok;
            if (token.text == "light")
                ok = ReadLight(At(token), parsed);
            else if (token.text == "object")
                ok = ReadObject(parsed);
            else
                ok = UnknownOrUnexpected(token);
            if (!ok)
                return ExitLightsSyntax;
        }
    }

private:
    bool Report(const char* format, Position at)
    {
        PrintTo(errors, format, at.line, at.column, sourceName.c_str());
        return false;
    }
    bool Unexpected(Position at) { return Report("unexpected token at line %d col %d (%s)\n", at); }
    bool InvalidKey(Position at) { return Report("invalid key name at line %d col %d (%s)\n", at); }
    bool InvalidValue(Position at) { return Report("invalid value at line %d col %d (%s)\n", at); }

    // A word where another keyword belongs.
    bool UnknownOrUnexpected(const Core::Token& token)
    {
        return IsKeyword(token.text) ? Unexpected(At(token)) : InvalidKey(At(token));
    }

    // The next token, which must be the identifier `key`.
    bool ReadKey(const char* key)
    {
        Core::Token token;
        if (tokenizer.NextToken(token) != Core::TokenKind::Identifier)
            return Unexpected(At(token));
        return token.text == key || UnknownOrUnexpected(token);
    }

    // Takes the identifier `key` when it comes next; leaves anything else.
    bool TakeOptionalKey(const char* key)
    {
        if (tokenizer.PeekToken() != Core::TokenKind::Identifier || tokenizer.PeekedToken().text != key)
            return false;
        tokenizer.SkipToken();
        return true;
    }

    // An integer or float token, with an optional minus sign before it; `at` is where it starts.
    bool ReadNumber(float& value, Position& at)
    {
        Core::Token token;
        int32_t kind = tokenizer.NextToken(token);
        at = At(token);
        const bool negative = kind == Core::TokenKind::Minus;
        if (negative)
            kind = tokenizer.NextToken(token);
        if (kind != Core::TokenKind::Integer && kind != Core::TokenKind::Float)
            return Unexpected(At(token));
        double number = kind == Core::TokenKind::Integer ? double(token.value) : token.floatValue;
        if (negative)
            number = -number;
        // Checked before narrowing: a double beyond the float range has no float value.
        if (!std::isfinite(number) || std::fabs(number) > double(FLT_MAX))
            return InvalidValue(at);
        value = float(number);
        return true;
    }

    bool ReadVector(Geom::Vec3& v, Position& first)
    {
        Position ignored;
        return ReadNumber(v.x, first) && ReadNumber(v.y, ignored) && ReadNumber(v.z, ignored);
    }

    // "position X Y Z": scaled and in the engine's axes.
    bool ReadPosition(Geom::Vec3& position)
    {
        Position at;
        if (!ReadKey("position") || !ReadVector(position, at))
            return false;
        position = Engine::ObjToEngineAxes(position * scale);
        const bool finite = std::isfinite(position.x) && std::isfinite(position.y) && std::isfinite(position.z);
        return finite || InvalidValue(at);
    }

    // "direction X Y Z": unit length in the engine's axes. A mesh scaled by a negative factor is
    // mirrored through the origin, and its lights' directions with it.
    bool ReadDirection(Geom::Vec3& direction)
    {
        Position at;
        if (!ReadKey("direction") || !ReadVector(direction, at))
            return false;
        direction = Engine::UnitDirection(Engine::ObjToEngineAxes(direction));
        if (Geom::LengthSquared(direction) == 0)
            return InvalidValue(at);
        if (scale < 0)
            direction = -direction;
        return true;
    }

    bool ReadColour(Geom::Vec3& colour)
    {
        Position at;
        return ReadKey("colour") && ReadVector(colour, at);
    }

    // "range D", D not negative, in the file's units.
    bool ReadRange(float& range)
    {
        Position at;
        if (!ReadKey("range") || !ReadNumber(range, at))
            return false;
        if (range < 0)
            return InvalidValue(at);
        range *= std::fabs(scale);
        return std::isfinite(range) || InvalidValue(at);
    }

    // "[attenuation C L Q]": none negative, not all zero; the distances they weigh are in the
    // file's units.
    bool ReadOptionalAttenuation(Geom::Vec3& attenuation)
    {
        if (!TakeOptionalKey("attenuation"))
            return true;
        Position at[3];
        if (!ReadNumber(attenuation.x, at[0]) || !ReadNumber(attenuation.y, at[1]) || !ReadNumber(attenuation.z, at[2]))
            return false;
        for (int k = 0; k < 3; k++) {
            if (attenuation[k] < 0)
                return InvalidValue(at[k]);
        }
        if (attenuation.x == 0 && attenuation.y == 0 && attenuation.z == 0)
            return InvalidValue(at[0]);
        const float s = std::fabs(scale);
        if (s > 0 && std::isfinite(s)) {
            attenuation.y /= s;
            attenuation.z /= s * s;
        }
        return true;
    }

    // "cone INNER OUTER" in degrees from the spot's axis, as cosines.
    bool ReadCone(float& innerCos, float& outerCos)
    {
        float inner, outer;
        Position innerAt, outerAt;
        if (!ReadKey("cone") || !ReadNumber(inner, innerAt) || !ReadNumber(outer, outerAt))
            return false;
        if (!(inner >= 0 && inner <= 180))
            return InvalidValue(innerAt);
        if (!(outer >= 0 && outer <= 180) || inner > outer)
            return InvalidValue(outerAt);
        constexpr double degreesToRadians = 3.14159265358979323846 / 180.0;
        innerCos = float(std::cos(double(inner) * degreesToRadians));
        outerCos = float(std::cos(double(outer) * degreesToRadians));
        return true;
    }

    bool ReadLight(Position start, LightFile& parsed)
    {
        Core::Token type;
        if (tokenizer.NextToken(type) != Core::TokenKind::Identifier)
            return Unexpected(At(type));
        Geom::Vec3 position, direction, colour, attenuation{1, 0, 0};
        float range = 4096, innerCos = 1, outerCos = 0;
        Engine::LightRecord light;
        if (type.text == "point") {
            if (!ReadPosition(position) || !ReadColour(colour) || !ReadRange(range) ||
                !ReadOptionalAttenuation(attenuation))
                return false;
            light = Engine::LightRecord::Point(position, colour, range, attenuation);
        } else if (type.text == "spot") {
            if (!ReadPosition(position) || !ReadDirection(direction) || !ReadColour(colour) || !ReadRange(range) ||
                !ReadCone(innerCos, outerCos) || !ReadOptionalAttenuation(attenuation))
                return false;
            light = Engine::LightRecord::Spot(position, direction, colour, range, innerCos, outerCos, attenuation);
        } else if (type.text == "directional") {
            if (!ReadDirection(direction) || !ReadColour(colour) || !ReadOptionalRange(range))
                return false;
            light = Engine::LightRecord::Directional(direction, colour, range);
        } else if (type.text == "ambient") {
            if (!ReadColour(colour))
                return false;
            light = Engine::LightRecord::Ambient(colour);
        } else {
            return UnknownOrUnexpected(type);
        }
        // Each value was checked where it stood; this catches what only their combination breaks.
        if (!Engine::UsableLight(light))
            return InvalidValue(start);
        parsed.lights.push_back(light);
        return true;
    }

    // "[range D]" of a directional light; false only on an error.
    bool ReadOptionalRange(float& range)
    {
        if (tokenizer.PeekToken() != Core::TokenKind::Identifier || tokenizer.PeekedToken().text != "range")
            return true;
        return ReadRange(range);
    }

    // "object NAME" and one or more "emissive R G B" / "reflectance R G B".
    bool ReadObject(LightFile& parsed)
    {
        Core::Token name;
        const int32_t kind = tokenizer.NextToken(name);
        if (kind != Core::TokenKind::Identifier && kind != Core::TokenKind::String)
            return Unexpected(At(name));
        LightFileObject& object = FindOrAdd(parsed, name.text);
        bool first = true;
        for (;; first = false) {
            if (!first && !NextIsColourKey())
                return true;
            Core::Token key;
            if (tokenizer.NextToken(key) != Core::TokenKind::Identifier)
                return Unexpected(At(key));
            Position at;
            if (key.text == "emissive") {
                if (!ReadVector(object.emissive, at))
                    return false;
                object.hasEmissive = true;
            } else if (key.text == "reflectance") {
                if (!ReadVector(object.reflectance, at))
                    return false;
                object.hasReflectance = true;
            } else {
                return UnknownOrUnexpected(key);
            }
        }
    }

    bool NextIsColourKey()
    {
        if (tokenizer.PeekToken() != Core::TokenKind::Identifier)
            return false;
        const std::string& word = tokenizer.PeekedToken().text;
        return word == "emissive" || word == "reflectance";
    }

    static LightFileObject& FindOrAdd(LightFile& parsed, const std::string& name)
    {
        for (LightFileObject& object : parsed.objects) {
            if (object.name == name)
                return object;
        }
        parsed.objects.push_back(LightFileObject{name});
        return parsed.objects.back();
    }

    Core::MemoryCharSource source;
    const std::string& sourceName;
    float scale;
    std::FILE* errors;
    Core::Tokenizer tokenizer;
};

}  // namespace

int ParseLightFile(std::string_view text, const std::string& sourceName, float scale, LightFile& lights,
                   std::FILE* errors)
{
    LightFile parsed;
    LightFileParser parser(text, sourceName, scale, errors);
    const int code = parser.Parse(parsed);
    if (code == ExitSuccess)
        lights = std::move(parsed);
    return code;
}

int LoadLightFile(const std::string& path, float scale, LightFile& lights, std::FILE* errors)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        PrintTo(errors, "failed to open %s!\n", path.c_str());
        return ExitOpenFailed;
    }
    std::string text;
    if (!ReadAll(file.get(), text)) {
        PrintTo(errors, "failed to parse %s\n", path.c_str());
        return ExitParseFailed;
    }
    return ParseLightFile(text, path, scale, lights, errors);
}

void ApplyLightFile(const LightFile& lights, Engine::Lightmapper& lightmapper)
{
    for (const LightFileObject& object : lights.objects) {
        lightmapper.FindOrAddObject(object.name);
        if (object.hasEmissive)
            lightmapper.SetObjectColour(object.name, object.emissive);
        if (object.hasReflectance)
            lightmapper.SetObjectReflectance(object.name, object.reflectance);
    }
    for (const Engine::LightRecord& light : lights.lights)
        lightmapper.AddLight(light);
}

}  // namespace App
