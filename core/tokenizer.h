#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace Core {

// Delivers characters one at a time to the Tokenizer. The bytes come in blocks from Refill, so
// reading a character is an inline pointer bump; the virtual call happens once per block.
// Pushed-back characters are read again first, last pushed first.
class CharSource {
public:
    virtual ~CharSource() = default;

    // The next character code 0..255, or -1 at the end of input. A zero byte is a character like
    // any other (the tokenizer rejects it), so corrupt data cannot end a file early unnoticed.
    int Read()
    {
        if (!pushed.empty()) {
            column++;
            int c = pushed.back();
            pushed.pop_back();
            return c;
        }
        if (cursor == limit && !Refill())
            return -1;
        column++;
        return static_cast<unsigned char>(*cursor++);
    }

    // Pushing back the end of input (-1) does nothing, so a caller may push back whatever it read.
    void PushBack(int c)
    {
        if (c < 0)
            return;
        pushed.push_back(c);
        column--;
    }

    // Column of the next character to be read, from 1.
    int32_t Column() const { return column; }
    void SetColumn(int32_t value) { column = value; }

protected:
    // Points cursor and limit at the next block of bytes; false at the end of input.
    virtual bool Refill() = 0;

    const char* cursor = nullptr;
    const char* limit = nullptr;

private:
    std::vector<int> pushed;
    int32_t column = 1;
};

// Text held in memory by the caller, who keeps it alive while the source is used. The size must
// not count a terminating zero byte: a zero inside the text is an invalid character.
class MemoryCharSource : public CharSource {
public:
    MemoryCharSource(const char* data, size_t size)
    {
        cursor = data;
        limit = data + size;
    }
    explicit MemoryCharSource(std::string_view text) : MemoryCharSource(text.data(), text.size()) {}

protected:
    bool Refill() override { return false; }
};

// Reads an open C stream through a buffer of its own; the caller owns and closes the stream.
class StreamCharSource : public CharSource {
public:
    explicit StreamCharSource(std::FILE* stream, size_t bufferSize = 8192);

    // True when the stream reported a read error (as opposed to its end).
    bool Failed() const { return failed; }

protected:
    bool Refill() override;

private:
    std::FILE* stream;
    std::vector<char> buffer;
    bool failed = false;
};

// Token kinds. Values 72 and up are the keywords of the tokenizer's mode.
namespace TokenKind {
enum : int32_t {
    Error = -2,
    End = 0,
    CharConstant = 1,  // u'c', value = the character's code point
    Integer = 2,       // value
    Float = 3,         // floatValue
    Identifier = 4,
    String = 5,     // text holds the decoded contents
    Character = 6,  // 'c', text holds the decoded contents
    Plus = 21,
    PlusAssign = 22,
    Increment = 23,
    Minus = 24,
    MinusAssign = 25,
    Decrement = 26,
    Arrow = 27,
    ArrowStar = 28,
    Star = 29,
    StarAssign = 30,
    Slash = 31,
    SlashAssign = 32,
    Percent = 33,
    PercentAssign = 34,
    Caret = 35,
    CaretAssign = 36,
    Pipe = 37,
    PipeAssign = 38,
    OrOr = 39,
    Tilde = 40,
    Ampersand = 41,
    AndAssign = 42,
    AndAnd = 43,
    Less = 44,
    LessEqual = 45,
    ShiftLeft = 46,
    ShiftLeftAssign = 47,
    Greater = 48,
    GreaterEqual = 49,
    ShiftRight = 50,
    ShiftRightAssign = 51,
    Assign = 52,
    Equal = 53,
    Not = 54,
    NotEqual = 55,
    Question = 56,
    Colon = 57,
    Scope = 58,
    Dot = 59,
    Ellipsis = 60,
    Comma = 61,
    Semicolon = 62,
    LeftParen = 63,
    RightParen = 64,
    LeftBracket = 65,
    RightBracket = 66,
    LeftBrace = 67,
    RightBrace = 68,

    // Object flags mode.
    If = 72,

    // OBJ mode.
    ObjV = 158,
    ObjVn = 159,
    ObjVt = 160,
    ObjVp = 161,
    ObjF = 162,
    ObjO = 163,
    ObjG = 164,
    ObjS = 165,
    ObjOff = 166,
    ObjMtllib = 167,
    ObjUsemtl = 168,
};
}  // namespace TokenKind

struct Token {
    int32_t column = 0;  // of the token's first character, from 1
    int32_t line = 0;    // from 1
    std::string sourceName;
    int32_t kind = TokenKind::End;
    std::string text;     // the characters; for a string or character literal the decoded contents
    std::string message;  // error text of an error token, empty otherwise
    uint64_t value = 0;   // integer value (integers, character constants)
    double floatValue = 0;
    // Which SetSource call filled sourceName, so the name is copied once, not for every token.
    uint64_t sourceStamp = 0;
};

// The modes select the keyword table and a few rules. Only the OBJ and object-flags modes have
// keywords here; the other two lex with none.
enum class TokenizerMode : int32_t { Script = 0, Interface = 1, Obj = 2, ObjectFlags = 3 };

// ReadRestOfLine options.
constexpr int restOfLineKeepHash = 1;    // "#" is an ordinary character, not the start of a comment
constexpr int restOfLineDropSpaces = 2;  // drop spaces, tabs and vertical tabs; trim trailing codes <= 32

// Lexer for small C-like text formats with one token of look-ahead. Errors come back as tokens of
// kind TokenKind::Error positioned at the offending token; lexing never stops the program.
//
// The OBJ mode differs from the others: "#" starts a comment to the line end, and "/" is always a
// token of its own, because "7//3" is a face corner there, never the start of a comment.
class Tokenizer {
public:
    explicit Tokenizer(TokenizerMode mode);

    // Starts reading at line 1, column 1. The source must outlive its use by the tokenizer.
    void SetSource(CharSource* source, const std::string& sourceName);

    // The look-ahead token if there is one (which is consumed), else the next token. Returns its kind.
    int32_t NextToken(Token& token);
    // Lexes the next token into the look-ahead unless one is waiting; returns its kind.
    int32_t PeekToken();
    const Token& PeekedToken() const { return lookAhead; }
    void SkipToken() { hasLookAhead = false; }

    // Collects the characters up to the line end (which stays unread) into token.text. Without
    // restOfLineKeepHash, in the OBJ mode, a "#" also ends it. A control character other than tab
    // and vertical tab makes the token an error. Returns the kind: TokenKind::String or Error.
    // Must not be called while a look-ahead token is waiting.
    int32_t ReadRestOfLine(Token& token, int options);

    int32_t Line() const { return line; }
    const std::string& LastError() const { return lastError; }

private:
    struct Keyword {
        std::string_view name;
        int32_t kind;
    };

    int32_t Lex(Token& token);
    void StartToken(Token& token, int32_t column);
    int32_t Fail(Token& token, const char* message);
    void NewLine();
    // Consumes an LF after a CR that was just read, so CR LF counts as one line end.
    void FinishCarriageReturn();
    bool SkipLineComment();
    void SkipBlockComment();
    void SkipHashComment();
    int32_t LexIdentifier(Token& token, int first);
    int32_t LexNumber(Token& token, int first);
    int32_t LexDecimal(Token& token, bool octalCandidate);
    int AppendDigits(std::string& text);
    int32_t LexPrefixed(Token& token, int prefix, int bitsPerDigit);
    int32_t LexQuoted(Token& token, int quote, int32_t kind);
    int32_t LexOperator(Token& token, int c);
    int32_t Select(int next, int32_t ifMatch, int32_t otherwise);

    CharSource* source = nullptr;
    TokenizerMode mode;
    std::vector<Keyword> keywords;  // sorted by name for binary search
    size_t shortestKeyword = 0;
    int32_t line = 1;
    std::string sourceName;
    uint64_t sourceStamp = 0;
    Token lookAhead;
    bool hasLookAhead = false;
    std::string lastError;
};

}  // namespace Core
