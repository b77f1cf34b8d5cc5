#include "core/tokenizer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Core::Token;
using Core::Tokenizer;
using Core::TokenizerMode;
namespace Kind = Core::TokenKind;

const TokenizerMode obj = TokenizerMode::Obj;
const TokenizerMode flags = TokenizerMode::ObjectFlags;

// One token as "kind(payload)": integers show their value, floats their value, identifiers,
// keywords and literals their text, errors their message.
std::string Describe(const Token& t)
{
    char buffer[64];
    switch (t.kind) {
    case Kind::End: return "end";
    case Kind::Error: return "error(" + t.message + ")";
    case Kind::Integer: std::snprintf(buffer, sizeof buffer, "int(%llu)", (unsigned long long)t.value); return buffer;
    case Kind::CharConstant: std::snprintf(buffer, sizeof buffer, "uchar(%llu)", (unsigned long long)t.value); return buffer;
    case Kind::Float: std::snprintf(buffer, sizeof buffer, "float(%.17g)", t.floatValue); return buffer;
    case Kind::Identifier: return "id(" + t.text + ")";
    case Kind::String: return "str(" + t.text + ")";
    case Kind::Character: return "char(" + t.text + ")";
    default:
        std::snprintf(buffer, sizeof buffer, t.kind >= 72 ? "kw%d(" : "op%d(", t.kind);
        return buffer + (t.kind >= 72 ? t.text : std::string()) + ")";
    }
}

void AppendPosition(std::string& out, const Token& token)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "@%d:%d", token.line, token.column);
    out += buffer;
}

// Every token up to the end (or the limit), separated by spaces.
std::string LexFrom(Tokenizer& tokenizer, bool withPositions, int limit)
{
    std::string out;
    Token token;
    for (int count = 0; count < limit; count++) {
        int32_t kind = tokenizer.NextToken(token);
        if (!out.empty())
            out += ' ';
        out += Describe(token);
        if (withPositions)
            AppendPosition(out, token);
        if (kind == Kind::End)
            break;
    }
    return out;
}

std::string LexAll(TokenizerMode mode, const std::string& text, bool withPositions = false, int limit = 100)
{
    Core::MemoryCharSource source(text);
    Tokenizer tokenizer(mode);
    tokenizer.SetSource(&source, "test.txt");
    return LexFrom(tokenizer, withPositions, limit);
}

TEST(Tokenizer, LexesEdgeCases)
{
    const struct {
        TokenizerMode mode;
        std::string text;
        std::string expected;
    } cases[] = {
        // Number bases and forms.
        {obj, "0x20 0XfF 0b101 017 0", "int(32) int(255) int(5) int(15) int(0) end"},
        {obj, "1.5 1e3 .5 1. 2E-2 007.5", "float(1.5) float(1000) float(0.5) float(1) float(0.02) float(7.5) end"},
        {obj, "-3 +4", "op24() int(3) op21() int(4) end"},
        {obj, "0xg 0b2", "int(0) id(xg) int(0) id(b2) end"},        // prefix without a digit is the integer 0
        {obj, "08", "int(0) int(8) end"},                            // an octal literal ends at its first 8
        {obj, "1e 1e+", "int(1) id(e) int(1) id(e) op21() end"},     // an exponent needs a digit
        {obj, "1.5.3", "float(1.5) float(0.29999999999999999) end"},
        {obj, "18446744073709551615", "int(18446744073709551615) end"},
        {obj, "18446744073709551616", "error(integer overflow) end"},
        {obj, "0x10000000000000000 0b1", "error(integer overflow) int(1) end"},
        {obj, "02000000000000000000000", "error(integer overflow) end"},
        // Keywords by mode, exact and case-sensitive.
        {flags, "if iff If i", "kw72(if) id(iff) id(If) id(i) end"},
        {obj, "v vn vt vp f o g s off mtllib usemtl vx F",
         "kw158(v) kw159(vn) kw160(vt) kw161(vp) kw162(f) kw163(o) kw164(g) kw165(s) kw166(off) kw167(mtllib) "
         "kw168(usemtl) id(vx) id(F) end"},
        {flags, "v f usemtl", "id(v) id(f) id(usemtl) end"},
        {obj, "if", "id(if) end"},
        // Operators: longest match.
        {flags, "+ += ++ - -= -- -> ->* / /= & &= &&",
         "op21() op22() op23() op24() op25() op26() op27() op28() op31() op32() op41() op42() op43() end"},
        {flags, "a+++b", "id(a) op23() op21() id(b) end"},
        {flags, "->- >*", "op27() op24() op48() op29() end"},
        {flags, ". .. ...", "op59() op59() op59() op60() end"},
        // In the OBJ mode a slash never starts a comment: "1//3" is a corner.
        {obj, "f 1//3 4/=", "kw162(f) int(1) op31() op31() int(3) int(4) op31() op52() end"},
        // Comments.
        {obj, "v # f 1 2\nvn#x", "kw158(v) kw159(vn) end"},
        {flags, "a # b", "id(a) error(invalid character) id(b) end"},
        {flags, "a // b\nc /* d\n e */ f", "id(a) id(c) id(f) end"},
        {flags, "a // b \\\n c\nd", "id(a) id(d) end"},  // a backslash before the line end continues a line comment
        {flags, "a /* never closed", "id(a) end"},
        // Character constants and literals.
        {flags, "u'x' u'\\n' u'\xc3\xa9' ux u", "uchar(120) uchar(10) uchar(233) id(ux) id(u) end"},
        {flags, "u'xy'", "error(invalid character literal) end"},
        {flags, "u''", "error(invalid character literal) end"},
        {flags, "'a' 'ab'", "char(a) char(ab) end"},
        // Strings.
        {flags, "\"ab\ncd\"", "error(newline in string constant) id(cd) error(end of input in string constant) end"},
        {flags, "\"ab\\\ncd\"", "str(abcd) end"},
        {flags, "\"ab\\\r\ncd\"", "str(abcd) end"},
        {flags, "\"\" x", "str() id(x) end"},
        {flags, "\"open", "error(end of input in string constant) end"},
        // Invalid characters.
        {flags, "$ @ \\ ` \x01 \x7f \xc3", "error(invalid character) error(invalid character) error(invalid character) "
                                            "error(invalid character) error(invalid character) error(invalid character) "
                                            "error(invalid character) end"},
        {obj, std::string("a\0b", 3), "id(a) error(invalid character) id(b) end"},  // a zero byte does not end the input
        {obj, "", "end"},
        {obj, " \t\v\r\n", "end"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LexAll(c.mode, c.text), c.expected) << "mode " << int(c.mode) << " input \"" << c.text << '"';
}

TEST(Tokenizer, TracksLinesAndColumns)
{
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"ab  cd\tef", "id(ab)@1:1 id(cd)@1:5 id(ef)@1:8 end@1:10"},
        {"a\r\nb", "id(a)@1:1 id(b)@2:1 end@2:2"},         // CR LF is one line end
        {"a\r\rb", "id(a)@1:1 id(b)@3:1 end@3:2"},         // two CRs are two
        {"a\n\rb", "id(a)@1:1 id(b)@3:1 end@3:2"},         // LF CR too
        {"a\n\n  b\n", "id(a)@1:1 id(b)@3:3 end@4:1"},
        {"a /* \r\n\n */ b", "id(a)@1:1 id(b)@3:5 end@3:6"},
        {"\"\"\"x\ny\"\"\" z", "str(x\ny)@1:1 id(z)@2:6 end@2:7"},
        {"\"a\\\nb\" c", "str(ab)@1:1 id(c)@2:4 end@2:5"},
        {"ab $", "id(ab)@1:1 error(invalid character)@1:4 end@1:5"},
        {"0xg", "int(0)@1:1 id(xg)@1:2 end@1:4"},          // pushed-back characters keep their columns
        {"12345 08", "int(12345)@1:1 int(0)@1:7 int(8)@1:8 end@1:9"},
        {"\"ab\ncd", "error(newline in string constant)@1:1 id(cd)@2:1 end@2:3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LexAll(flags, c.text, true), c.expected) << '"' << c.text << '"';
}

TEST(Tokenizer, DecodesStringEscapesAndRawStrings)
{
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {R"("\a\b\n\r\t\v")", "\a\b\n\r\t\v"},
        {R"("\x41\x4a\x4")", "AJ\x04"},
        {R"("\x00z")", std::string("\0z", 2)},
        {R"("\xg")", "xg"},                               // \x without a digit is a plain x
        {R"("\q\\\"\'")", "q\\\"'"},                      // any other character stands for itself
        {"\"\"\"a\\n\"b\r\nc\"\"\"", "a\\n\"b\r\nc"},     // raw: no escapes, line ends kept
        {"\"\"\"\"\"\"", ""},
        {"\"\"\"a\"\"b\"\"\"", "a\"\"b"},                // fewer than three quotes do not end it
        {"\"caf\xc3\xa9\"", "caf\xc3\xa9"},               // bytes above 126 are fine inside strings
    };
    for (const auto& c : cases) {
        Core::MemoryCharSource source(c.text);
        Tokenizer tokenizer(flags);
        tokenizer.SetSource(&source, "s");
        Token token;
        ASSERT_EQ(tokenizer.NextToken(token), Kind::String) << c.text << ": " << token.message;
        EXPECT_EQ(token.text, c.expected) << c.text;
        EXPECT_EQ(tokenizer.NextToken(token), Kind::End) << c.text << " left " << Describe(token);
    }
}

TEST(Tokenizer, PeekKeepsOneTokenUntilTakenOrSkipped)
{
    Core::MemoryCharSource source("a 1 b");
    Tokenizer tokenizer(flags);
    tokenizer.SetSource(&source, "peek.txt");
    Token token;
    EXPECT_EQ(tokenizer.PeekToken(), Kind::Identifier);
    EXPECT_EQ(tokenizer.PeekToken(), Kind::Identifier);
    EXPECT_EQ(tokenizer.PeekedToken().text, "a");
    EXPECT_EQ(tokenizer.NextToken(token), Kind::Identifier);
    EXPECT_EQ(token.text, "a");
    EXPECT_EQ(token.sourceName, "peek.txt");
    EXPECT_EQ(tokenizer.PeekToken(), Kind::Integer);
    tokenizer.SkipToken();
    EXPECT_EQ(tokenizer.NextToken(token), Kind::Identifier);
    EXPECT_EQ(token.text, "b");
    EXPECT_EQ(token.column, 5);
    EXPECT_EQ(tokenizer.NextToken(token), Kind::End);
    EXPECT_EQ(tokenizer.NextToken(token), Kind::End);
}

TEST(Tokenizer, ReadRestOfLineOptions)
{
    const int keepHash = Core::restOfLineKeepHash, dropSpaces = Core::restOfLineDropSpaces;
    const struct {
        TokenizerMode mode;
        std::string text;
        int options;
        int32_t kind;
        std::string rest, after;  // after: the tokens that follow, with positions
    } cases[] = {
        {obj, "o my part # x\nv", keepHash | dropSpaces, Kind::String, "mypart#x", "kw158(v)@2:1 end@2:2"},
        {obj, "o my part # x\nv", 0, Kind::String, " my part ", "kw158(v)@2:1 end@2:2"},  // "#" ends it, then is a comment
        {obj, "o my part # x\nv", dropSpaces, Kind::String, "mypart", "kw158(v)@2:1 end@2:2"},
        {obj, "o  a # b \t\r\nv", keepHash, Kind::String, "  a # b \t", "kw158(v)@2:1 end@2:2"},
        {flags, "o a # b", 0, Kind::String, " a # b", "end@1:8"},  // "#" ends a line only in the OBJ mode
        {obj, "o tail", dropSpaces, Kind::String, "tail", "end@1:7"},
        {obj, "o\r\rv", dropSpaces, Kind::String, "", "kw158(v)@3:1 end@3:2"},
        {obj, "o a\x01" "b\nv", dropSpaces, Kind::Error, "a\x01" "b", "kw158(v)@2:1 end@2:2"},
        {obj, "o \x1f" "a", dropSpaces, Kind::Error, "\x1f" "a", "end@1:5"},
        {obj, "o a\x7f\xc3\xa9", dropSpaces, Kind::String, "a\x7f\xc3\xa9", "end@1:7"},
    };
    for (const auto& c : cases) {
        Core::MemoryCharSource source(c.text);
        Tokenizer tokenizer(c.mode);
        tokenizer.SetSource(&source, "rest");
        Token token;
        ASSERT_EQ(tokenizer.NextToken(token), c.mode == obj ? Kind::ObjO : Kind::Identifier) << c.text;
        EXPECT_EQ(tokenizer.ReadRestOfLine(token, c.options), c.kind) << c.text;
        EXPECT_EQ(token.kind, c.kind) << c.text;
        EXPECT_EQ(token.text, c.rest) << c.text;
        EXPECT_EQ(token.line, 1);
        EXPECT_EQ(token.column, 2) << c.text;
        if (c.kind == Kind::Error) {
            EXPECT_EQ(token.message, "invalid character");
        }
        EXPECT_EQ(LexFrom(tokenizer, true, 10), c.after) << c.text;
    }
}

// The stream source refills its buffer in the middle of tokens, escapes and line ends; with tiny
// buffers it must give exactly what the memory source gives.
TEST(Tokenizer, StreamSourceMatchesMemorySourceAcrossRefills)
{
    const unsigned seed = 20261209;
    std::mt19937 random(seed);
    const char* pieces[] = {"v", " ", "\r\n", "\n", "\r", "1.25e-3", "0x1F", "-", "->*", "&&", "\"a\\x41\\\nb\"",
                            "# c\n", "/", "017", "name_1", "u'q'", "'z'", "\t", "\"\"\"r\r\naw\"\"\"", "$"};
    std::string text;
    while (text.size() < 20000)
        text += pieces[random() % std::size(pieces)];

    for (TokenizerMode mode : {obj, flags}) {
        std::string expected = LexAll(mode, text, true, 1000000);
        ASSERT_NE(expected.rfind(" end@"), std::string::npos) << "the text must be lexed to its end";
        for (size_t bufferSize : {size_t(1), size_t(2), size_t(7), size_t(8192)}) {
            std::FILE* file = std::tmpfile();
            ASSERT_TRUE(file);
            std::fwrite(text.data(), 1, text.size(), file);
            std::rewind(file);
            Core::StreamCharSource source(file, bufferSize);
            Tokenizer tokenizer(mode);
            tokenizer.SetSource(&source, "test.txt");
            std::string got = LexFrom(tokenizer, true, 1000000);
            EXPECT_FALSE(source.Failed());
            std::fclose(file);
            EXPECT_EQ(got, expected) << "seed " << seed << " mode " << int(mode) << " buffer " << bufferSize;
        }
    }
}

}  // namespace
