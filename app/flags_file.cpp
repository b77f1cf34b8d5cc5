#include "app/flags_file.h"

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "app/driver.h"
#include "app/input_file.h"
#include "core/stream.h"
#include "core/tokenizer.h"
#include "engine/lightmapper/lightmapper.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_read.h"

namespace App {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The size limit is the engine's: file sizes are signed 32-bit there.
constexpr size_t maxFlagsFileBytes = 2147483647;

bool ReadWholeFile(std::FILE* file, std::vector<char>& text)
{
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof(block), file)) > 0) {
        if (n > maxFlagsFileBytes - text.size())
            return false;
        text.insert(text.end(), block, block + n);
    }
    return std::ferror(file) == 0;
}

int Unexpected(const Core::Token& token, std::FILE* errors)
{
    PrintTo(errors, "unexpected token at line %d col %d (%s)\n", token.line, token.column, token.sourceName.c_str());
    return ExitFlagsSyntax;
}

// Reads "& key value" pairs while the next token is "&".
int ReadAttributes(Core::Tokenizer& tokenizer, const std::string& path, ObjectFlags& entry, std::FILE* errors)
{
    while (tokenizer.PeekToken() == Core::TokenKind::Ampersand) {
        tokenizer.SkipToken();
        Core::Token key, value;
        if (tokenizer.NextToken(key) != Core::TokenKind::Identifier)
            return Unexpected(key, errors);
        if (key.text == "alphamap") {
            if (tokenizer.NextToken(value) != Core::TokenKind::String)
                return Unexpected(value, errors);
            entry.alphaMap = value.text;
        } else if (key.text == "model") {
            if (tokenizer.NextToken(value) != Core::TokenKind::Integer)
                return Unexpected(value, errors);
            entry.modelId = int32_t(uint32_t(value.value));
        } else {
            PrintTo(errors, "invalid key name at line %d col %d (%s)\n", key.line, key.column, path.c_str());
            return ExitFlagsSyntax;
        }
    }
    return ExitSuccess;
}

int LoadAlphaMap(const ObjectFlags& entry, Engine::Lightmapper& lightmapper)
{
    const char* path = entry.alphaMap.c_str();
    Print("loading alphamap %s\n", path);
    File file(std::fopen(path, "rb"));
    if (!file) {
        PrintTo(stderr, "failed to open trace bitmap %s\n", path);
        return ExitAlphaMap;
    }
    Core::BufferedFileInputStream stream(file.get(), 8192);
    Image::Bitmap picture;
    if (!Image::PngRead::Read(stream, picture)) {
        PrintTo(stderr, "failed to read trace bitmap %s\n", path);
        return ExitAlphaMap;
    }
    lightmapper.SetAlphaMap(entry.name, picture);
    return ExitSuccess;
}

}  // namespace

void ObjectFlagsTable::Set(const ObjectFlags& entry)
{
    auto [it, added] = index.try_emplace(entry.name, int32_t(entries.size()));
    if (added)
        entries.push_back(entry);
    else
        entries[size_t(it->second)] = entry;
}

const ObjectFlags* ObjectFlagsTable::Find(const std::string& name) const
{
    auto it = index.find(name);
    return it == index.end() ? nullptr : &entries[size_t(it->second)];
}

int ParseObjectFlags(std::string_view text, const std::string& sourceName, ObjectFlagsTable& table,
                     const ObjectFlagsEntryHandler& onEntry, std::FILE* errors)
{
    Core::MemoryCharSource source(text);
    Core::Tokenizer tokenizer(Core::TokenizerMode::ObjectFlags);
    tokenizer.SetSource(&source, sourceName);
    for (;;) {
        Core::Token token;
        int32_t kind = tokenizer.NextToken(token);
        if (kind == Core::TokenKind::End)
            return ExitSuccess;
        if (kind != Core::TokenKind::Identifier)
            return Unexpected(token, errors);
        ObjectFlags entry;
        entry.name = token.text;
        if (tokenizer.PeekToken() == Core::TokenKind::Integer) {
            tokenizer.NextToken(token);
            entry.flags = uint32_t(token.value);  // the low 32 bits
        }
        if (int code = ReadAttributes(tokenizer, sourceName, entry, errors); code != ExitSuccess)
            return code;
        table.Set(entry);
        if (int code = onEntry(entry); code != ExitSuccess)
            return code;
    }
}

int LoadObjectFlags(const std::string& path, ObjectFlagsTable& table, Engine::Lightmapper& lightmapper)
{
    File file(OpenInputFile(path));
    if (!file) {
        PrintTo(stderr, "failed to open %s!\n", path.c_str());
        return ExitOpenFailed;
    }
    std::vector<char> text;
    if (!ReadWholeFile(file.get(), text)) {
        PrintTo(stderr, "failed to parse %s\n", path.c_str());
        return ExitParseFailed;
    }
    file.reset();

    return ParseObjectFlags(
        std::string_view(text.data(), text.size()), path, table,
        [&](const ObjectFlags& entry) {
            lightmapper.FindOrAddObject(entry.name);
            if (!entry.alphaMap.empty())
                return LoadAlphaMap(entry, lightmapper);
            // A name listed again without a map loses the one an earlier line gave it, as the
            // table (and its printout) does.
            lightmapper.SetAlphaMap(entry.name, Image::Bitmap());
            return int(ExitSuccess);
        },
        stderr);
}

void PrintObjectFlags(const ObjectFlagsTable& table)
{
    Print("object flags:\n");
    for (const ObjectFlags& entry : table.Entries())
        Print("%s %08x modelid:%d alphamap:%s\n", entry.name.c_str(), entry.flags, entry.modelId,
              entry.alphaMap.c_str());
}

}  // namespace App
