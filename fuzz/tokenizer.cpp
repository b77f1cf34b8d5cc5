// The tokenizer on arbitrary text in every mode, lexing on past errors as far as the text goes.
// The first byte picks the mode and whether identifiers are followed by ReadRestOfLine (as the
// OBJ reader does after its name statements) with which options. Every token must consume input,
// stand at a sane position, and carry the value its own text spells.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/tokenizer.h"
#include "fuzz/fuzz_check.h"

namespace {

bool IsIdentifierStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentifierChar(char c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9'); }

int32_t CountLineEnds(const char* text, size_t size)
{
    int32_t count = 0;
    for (size_t i = 0; i < size; i++) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n')))
            count++;
    }
    return count;
}

// The value an integer token's text spells, by the prefix rules: 0x hexadecimal, 0b binary,
// a leading 0 octal, else decimal.
void CheckIntegerValue(const Core::Token& token)
{
    const std::string& text = token.text;
    FUZZ_CHECK(!text.empty());
    int base = 10;
    size_t skip = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        skip = 2;
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        skip = 2;
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        skip = 1;
    }
    uint64_t expected = 0;
    auto result = std::from_chars(text.data() + skip, text.data() + text.size(), expected, base);
    FUZZ_CHECK(result.ec == std::errc() && result.ptr == text.data() + text.size());
    FUZZ_CHECK(token.value == expected);
}

void CheckFloatValue(const Core::Token& token)
{
    FUZZ_CHECK(!token.text.empty());
    const double expected = std::strtod(token.text.c_str(), nullptr);
    FUZZ_CHECK(token.floatValue == expected);
}

void CheckIdentifier(const Core::Token& token)
{
    FUZZ_CHECK(!token.text.empty() && IsIdentifierStart(token.text[0]));
    for (char c : token.text)
        FUZZ_CHECK(IsIdentifierChar(c));
}

void CheckRestOfLine(const Core::Token& token, int options, bool objMode)
{
    for (char c : token.text) {
        FUZZ_CHECK(c != '\n' && c != '\r');
        if (options & Core::restOfLineDropSpaces)
            FUZZ_CHECK(c != ' ' && c != '\t' && c != '\v');
        if (objMode && !(options & Core::restOfLineKeepHash))
            FUZZ_CHECK(c != '#');
    }
    if ((options & Core::restOfLineDropSpaces) && !token.text.empty())
        FUZZ_CHECK(static_cast<unsigned char>(token.text.back()) > 32);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto mode = static_cast<Core::TokenizerMode>(data[0] & 3);
    const int restOfLineOptions = (data[0] >> 2) & 3;
    const bool readRestOfLine = (data[0] & 0x10) != 0;
    const bool peekFirst = (data[0] & 0x20) != 0;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t textSize = size - 1;
    const int32_t lastLine = CountLineEnds(text, textSize) + 1;

    Core::MemoryCharSource source(text, textSize);
    Core::Tokenizer tokenizer(mode);
    tokenizer.SetSource(&source, "fuzz");
    int32_t previousLine = 1;
    // Every token but the end consumes at least one character.
    for (size_t tokens = 0;; tokens++) {
        FUZZ_CHECK(tokens <= textSize);
        Core::Token token;
        if (peekFirst) {
            const int32_t peeked = tokenizer.PeekToken();
            FUZZ_CHECK(tokenizer.NextToken(token) == peeked);
        } else {
            tokenizer.NextToken(token);
        }
        FUZZ_CHECK(token.line >= previousLine && token.line <= lastLine);
        FUZZ_CHECK(token.column >= 1);
        previousLine = token.line;
        switch (token.kind) {
        case Core::TokenKind::End:
            FUZZ_CHECK(tokenizer.NextToken(token) == Core::TokenKind::End);
            return 0;
        case Core::TokenKind::Error:
            FUZZ_CHECK(!token.message.empty());
            break;
        case Core::TokenKind::Integer:
            CheckIntegerValue(token);
            break;
        case Core::TokenKind::Float:
            CheckFloatValue(token);
            break;
        case Core::TokenKind::Identifier:
            CheckIdentifier(token);
            break;
        default:
            break;
        }
        const bool word = token.kind == Core::TokenKind::Identifier || token.kind >= Core::TokenKind::If;
        if (readRestOfLine && word) {
            Core::Token rest;
            const int32_t kind = tokenizer.ReadRestOfLine(rest, restOfLineOptions);
            FUZZ_CHECK(kind == Core::TokenKind::String || kind == Core::TokenKind::Error);
            if (kind == Core::TokenKind::String)
                CheckRestOfLine(rest, restOfLineOptions, mode == Core::TokenizerMode::Obj);
        }
    }
}
