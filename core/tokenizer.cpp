#include "core/tokenizer.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <charconv>
#include <cstdlib>

namespace Core {
namespace {

const char* const invalidCharacterLiteral = "invalid character literal";
const char* const integerOverflow = "integer overflow";
const char* const newlineInString = "newline in string constant";
const char* const invalidCharacter = "invalid character";
const char* const endInString = "end of input in string constant";

std::atomic<uint64_t> nextSourceStamp{1};

bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool IsLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentifierChar(int c) { return IsLetter(c) || IsDigit(c); }
bool IsLineEnd(int c) { return c == '\n' || c == '\r'; }

int HexDigit(int c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Value of c as a digit of base 2^bitsPerDigit, or -1.
int DigitOfBase(int c, int bitsPerDigit)
{
    int d = HexDigit(c);
    return d >= 0 && d < (1 << bitsPerDigit) ? d : -1;
}

// The code point when text is exactly one well-formed UTF-8 character, else -1.
int64_t SingleCodePoint(const std::string& text)
{
    if (text.empty())
        return -1;
    unsigned char lead = static_cast<unsigned char>(text[0]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 ? 2 : (lead & 0xf0) == 0xe0 ? 3 : (lead & 0xf8) == 0xf0 ? 4 : 0;
    if (length == 0 || text.size() != length)
        return -1;
    int64_t code = length == 1 ? lead : lead & (0x7f >> length);
    for (size_t i = 1; i < length; i++) {
        unsigned char next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80)
            return -1;
        code = (code << 6) | (next & 0x3f);
    }
    return code;
}

}  // namespace

StreamCharSource::StreamCharSource(std::FILE* stream, size_t bufferSize) : stream(stream), buffer(bufferSize)
{
    assert(bufferSize > 0);
}

bool StreamCharSource::Refill()
{
    size_t count = std::fread(buffer.data(), 1, buffer.size(), stream);
    if (count == 0) {
        failed = failed || std::ferror(stream) != 0;
        return false;
    }
    cursor = buffer.data();
    limit = cursor + count;
    return true;
}

Tokenizer::Tokenizer(TokenizerMode mode) : mode(mode)
{
    if (mode == TokenizerMode::Obj) {
        keywords = {{"v", TokenKind::ObjV},     {"vn", TokenKind::ObjVn},   {"vt", TokenKind::ObjVt},
                    {"vp", TokenKind::ObjVp},   {"f", TokenKind::ObjF},     {"o", TokenKind::ObjO},
                    {"g", TokenKind::ObjG},     {"s", TokenKind::ObjS},     {"off", TokenKind::ObjOff},
                    {"mtllib", TokenKind::ObjMtllib}, {"usemtl", TokenKind::ObjUsemtl}};
    } else if (mode == TokenizerMode::ObjectFlags) {
        keywords = {{"if", TokenKind::If}};
    }
    std::sort(keywords.begin(), keywords.end(), [](const Keyword& a, const Keyword& b) { return a.name < b.name; });
    shortestKeyword = SIZE_MAX;
    for (const Keyword& keyword : keywords)
        shortestKeyword = std::min(shortestKeyword, keyword.name.size());
}

void Tokenizer::SetSource(CharSource* newSource, const std::string& newSourceName)
{
    source = newSource;
    sourceName = newSourceName;
    sourceStamp = nextSourceStamp.fetch_add(1, std::memory_order_relaxed);
    line = 1;
    hasLookAhead = false;
    lastError.clear();
    if (source)
        source->SetColumn(1);
}

int32_t Tokenizer::NextToken(Token& token)
{
    if (hasLookAhead) {
        hasLookAhead = false;
        std::swap(token, lookAhead);
        return token.kind;
    }
    return Lex(token);
}

int32_t Tokenizer::PeekToken()
{
    if (!hasLookAhead) {
        Lex(lookAhead);
        hasLookAhead = true;
    }
    return lookAhead.kind;
}

void Tokenizer::StartToken(Token& token, int32_t column)
{
    token.column = column;
    token.line = line;
    if (token.sourceStamp != sourceStamp) {
        token.sourceName = sourceName;
        token.sourceStamp = sourceStamp;
    }
    token.text.clear();
    token.message.clear();
    token.value = 0;
    token.floatValue = 0;
}

int32_t Tokenizer::Fail(Token& token, const char* message)
{
    token.kind = TokenKind::Error;
    token.message = message;
    lastError = message;
    return token.kind;
}

void Tokenizer::NewLine()
{
    line++;
    source->SetColumn(1);
}

void Tokenizer::FinishCarriageReturn()
{
    int next = source->Read();
    if (next != '\n')
        source->PushBack(next);
}

// After "//": skips to the line end, which stays unread, unless a backslash right before it
// continues the comment. Returns false at the end of input.
bool Tokenizer::SkipLineComment()
{
    int previous = 0;
    for (;;) {
        int c = source->Read();
        if (c < 0)
            return false;
        if (IsLineEnd(c)) {
            if (previous != '\\') {
                source->PushBack(c);
                return true;
            }
            if (c == '\r')
                FinishCarriageReturn();
            NewLine();
            previous = 0;
            continue;
        }
        previous = c;
    }
}

// After "/*": skips past the next "*/" (or to the end of input), counting the lines it passes.
void Tokenizer::SkipBlockComment()
{
    int previous = 0;
    for (;;) {
        int c = source->Read();
        if (c < 0)
            return;
        if (c == '/' && previous == '*')
            return;
        if (IsLineEnd(c)) {
            if (c == '\r')
                FinishCarriageReturn();
            NewLine();
        }
        previous = c;
    }
}

void Tokenizer::SkipHashComment()
{
    for (;;) {
        int c = source->Read();
        if (c < 0)
            return;
        if (IsLineEnd(c)) {
            source->PushBack(c);
            return;
        }
    }
}

int32_t Tokenizer::Lex(Token& token)
{
    assert(source);
    int c;
    for (;;) {
        c = source->Read();
        if (c == ' ' || c == '\t' || c == '\v')
            continue;
        if (c == '\n') {
            NewLine();
            continue;
        }
        if (c == '\r') {
            FinishCarriageReturn();
            NewLine();
            continue;
        }
        if (c == '#' && mode == TokenizerMode::Obj) {
            SkipHashComment();
            continue;
        }
        if (c == '/' && mode != TokenizerMode::Obj) {
            int next = source->Read();
            if (next == '/') {
                SkipLineComment();
                continue;
            }
            if (next == '*') {
                SkipBlockComment();
                continue;
            }
            source->PushBack(next);
        }
        break;
    }

    StartToken(token, source->Column() - (c < 0 ? 0 : 1));
    if (c < 0)
        return token.kind = TokenKind::End;
    if (IsLetter(c))
        return LexIdentifier(token, c);
    if (IsDigit(c))
        return LexNumber(token, c);
    if (c == '.') {
        int next = source->Read();
        source->PushBack(next);
        if (IsDigit(next))
            return LexNumber(token, c);
    }
    if (c == '"')
        return LexQuoted(token, '"', TokenKind::String);
    if (c == '\'')
        return LexQuoted(token, '\'', TokenKind::Character);
    return LexOperator(token, c);
}

int32_t Tokenizer::LexIdentifier(Token& token, int first)
{
    if (first == 'u') {
        int next = source->Read();
        if (next == '\'') {
            if (LexQuoted(token, '\'', TokenKind::CharConstant) == TokenKind::Error)
                return TokenKind::Error;
            int64_t code = SingleCodePoint(token.text);
            if (code < 0)
                return Fail(token, invalidCharacterLiteral);
            token.value = uint64_t(code);
            return token.kind;
        }
        source->PushBack(next);
    }
    token.text.push_back(char(first));
    int c;
    while (IsIdentifierChar(c = source->Read()))
        token.text.push_back(char(c));
    source->PushBack(c);

    token.kind = TokenKind::Identifier;
    if (token.text.size() >= shortestKeyword) {
        std::string_view name = token.text;
        auto found = std::lower_bound(keywords.begin(), keywords.end(), name,
                                      [](const Keyword& k, std::string_view n) { return k.name < n; });
        if (found != keywords.end() && found->name == name)
            token.kind = found->kind;
    }
    return token.kind;
}

int32_t Tokenizer::LexNumber(Token& token, int first)
{
    token.text.push_back(char(first));
    if (first != '0')
        return LexDecimal(token, false);
    int next = source->Read();
    if (next == 'x' || next == 'X')
        return LexPrefixed(token, next, 4);
    if (next == 'b' || next == 'B')
        return LexPrefixed(token, next, 1);
    source->PushBack(next);
    return LexDecimal(token, true);
}

// Digits after "0x" or "0b". Without a digit the token is the integer 0 and the prefix letter is
// left for the next token.
int32_t Tokenizer::LexPrefixed(Token& token, int prefix, int bitsPerDigit)
{
    int c = source->Read();
    int digit = DigitOfBase(c, bitsPerDigit);
    if (digit < 0) {
        source->PushBack(c);
        source->PushBack(prefix);
        token.value = 0;
        return token.kind = TokenKind::Integer;
    }
    token.text.push_back(char(prefix));
    uint64_t value = 0;
    bool overflow = false;
    while (digit >= 0) {
        token.text.push_back(char(c));
        if (value >> (64 - bitsPerDigit))
            overflow = true;
        value = (value << bitsPerDigit) | uint64_t(digit);
        c = source->Read();
        digit = DigitOfBase(c, bitsPerDigit);
    }
    source->PushBack(c);
    if (overflow)
        return Fail(token, integerOverflow);
    token.value = value;
    return token.kind = TokenKind::Integer;
}

// token.text holds the first character (a digit or "."). Reads the rest of a decimal integer or a
// floating-point literal; with octalCandidate (a leading 0) an integer is read as octal.
int32_t Tokenizer::LexDecimal(Token& token, bool octalCandidate)
{
    bool isFloat = token.text[0] == '.';
    int c = AppendDigits(token.text);
    if (c == '.' && !isFloat) {
        isFloat = true;
        token.text.push_back('.');
        c = AppendDigits(token.text);
    }
    if (c == 'e' || c == 'E') {
        // An exponent needs a digit; otherwise "e" and any sign belong to the next token.
        int sign = source->Read();
        int digit = sign;
        if (sign == '+' || sign == '-')
            digit = source->Read();
        if (IsDigit(digit)) {
            isFloat = true;
            token.text.push_back(char(c));
            if (sign != digit)
                token.text.push_back(char(sign));
            token.text.push_back(char(digit));
            c = AppendDigits(token.text);
        } else {
            source->PushBack(digit);
            if (sign != digit)
                source->PushBack(sign);
            // c ("e" or "E") is pushed back below.
        }
    }
    source->PushBack(c);

    if (isFloat) {
        const char* begin = token.text.data();
        const char* end = begin + token.text.size();
        double value = 0;
        auto result = std::from_chars(begin, end, value);
        if (result.ec == std::errc::result_out_of_range)
            value = std::strtod(token.text.c_str(), nullptr);  // infinity or a denormal / zero
        token.floatValue = value;
        return token.kind = TokenKind::Float;
    }

    uint64_t value = 0;
    bool overflow = false;
    if (octalCandidate) {
        // A leading 0 makes the digits octal; the literal ends at the first 8 or 9, which starts
        // the next token.
        size_t length = 1;
        while (length < token.text.size() && token.text[length] < '8') {
            if (value >> 61)
                overflow = true;
            value = (value << 3) | uint64_t(token.text[length] - '0');
            length++;
        }
        for (size_t i = token.text.size(); i > length; i--)
            source->PushBack(static_cast<unsigned char>(token.text[i - 1]));
        token.text.resize(length);
    } else {
        for (char digit : token.text) {
            uint64_t d = uint64_t(digit - '0');
            if (value > (UINT64_MAX - d) / 10)
                overflow = true;
            value = value * 10 + d;
        }
    }
    if (overflow)
        return Fail(token, integerOverflow);
    token.value = value;
    return token.kind = TokenKind::Integer;
}

// Appends the digits that follow and returns the first other character, which the caller pushes
// back or uses. Digits go through a local buffer: numbers are most of an
// OBJ file, and appending to the string one character at a time costs more than lexing them.
int Tokenizer::AppendDigits(std::string& text)
{
    char buffer[64];
    size_t count = 0;
    int c;
    while (IsDigit(c = source->Read())) {
        buffer[count++] = char(c);
        if (count == sizeof buffer) {
            text.append(buffer, count);
            count = 0;
        }
    }
    text.append(buffer, count);
    return c;
}

// After the opening quote. Three quotes start a raw literal that ends at the next three, without
// escapes and with its line ends kept; two quotes not followed by a third are empty.
int32_t Tokenizer::LexQuoted(Token& token, int quote, int32_t kind)
{
    token.kind = kind;
    int c = source->Read();
    if (c == quote) {
        int third = source->Read();
        if (third != quote) {
            source->PushBack(third);
            return kind;
        }
        int quotes = 0;
        for (;;) {
            c = source->Read();
            if (c < 0)
                return Fail(token, endInString);
            if (c == quote) {
                if (++quotes == 3)
                    return kind;
                continue;
            }
            token.text.append(size_t(quotes), char(quote));
            quotes = 0;
            if (c == '\r') {
                int next = source->Read();
                token.text.push_back('\r');
                if (next == '\n')
                    token.text.push_back('\n');
                else
                    source->PushBack(next);
                NewLine();
                continue;
            }
            if (c == '\n')
                NewLine();
            token.text.push_back(char(c));
        }
    }

    for (;; c = source->Read()) {
        if (c == quote)
            return kind;
        if (c < 0)
            return Fail(token, endInString);
        if (IsLineEnd(c)) {
            source->PushBack(c);
            return Fail(token, newlineInString);
        }
        if (c != '\\') {
            token.text.push_back(char(c));
            continue;
        }
        int escaped = source->Read();
        switch (escaped) {
        case 'a': token.text.push_back('\a'); break;
        case 'b': token.text.push_back('\b'); break;
        case 'n': token.text.push_back('\n'); break;
        case 'r': token.text.push_back('\r'); break;
        case 't': token.text.push_back('\t'); break;
        case 'v': token.text.push_back('\v'); break;
        case 'x': {
            // Up to two hexadecimal digits; "\x" without one is a plain "x".
            int value = 0, digits = 0;
            while (digits < 2) {
                int h = source->Read();
                int d = HexDigit(h);
                if (d < 0) {
                    source->PushBack(h);
                    break;
                }
                value = value * 16 + d;
                digits++;
            }
            token.text.push_back(digits ? char(value) : 'x');
            break;
        }
        case '\r':
            FinishCarriageReturn();
            NewLine();
            break;
        case '\n':
            NewLine();
            break;
        case -1:
            return Fail(token, endInString);
        default:
            token.text.push_back(char(escaped));
            break;
        }
    }
}

// Reads one more character: ifMatch when it is `next`, else pushes it back and gives otherwise.
int32_t Tokenizer::Select(int next, int32_t ifMatch, int32_t otherwise)
{
    int c = source->Read();
    if (c == next)
        return ifMatch;
    source->PushBack(c);
    return otherwise;
}

int32_t Tokenizer::LexOperator(Token& token, int c)
{
    using namespace TokenKind;
    int32_t kind;
    switch (c) {
    case '+': {
        int n = source->Read();
        kind = n == '=' ? PlusAssign : n == '+' ? Increment : (source->PushBack(n), Plus);
        break;
    }
    case '-': {
        int n = source->Read();
        if (n == '>')
            kind = Select('*', ArrowStar, Arrow);
        else
            kind = n == '=' ? MinusAssign : n == '-' ? Decrement : (source->PushBack(n), Minus);
        break;
    }
    case '&': {
        int n = source->Read();
        kind = n == '=' ? AndAssign : n == '&' ? AndAnd : (source->PushBack(n), Ampersand);
        break;
    }
    case '|': {
        int n = source->Read();
        kind = n == '=' ? PipeAssign : n == '|' ? OrOr : (source->PushBack(n), Pipe);
        break;
    }
    case '/':
        // Comments were taken by the caller; in the OBJ mode a slash is always a corner separator.
        kind = mode == TokenizerMode::Obj ? Slash : Select('=', SlashAssign, Slash);
        break;
    case '*': kind = Select('=', StarAssign, Star); break;
    case '%': kind = Select('=', PercentAssign, Percent); break;
    case '^': kind = Select('=', CaretAssign, Caret); break;
    case '~': kind = Tilde; break;
    case '=': kind = Select('=', Equal, Assign); break;
    case '!': kind = Select('=', NotEqual, Not); break;
    case '?': kind = Question; break;
    case ':': kind = Select(':', Scope, Colon); break;
    case '<': {
        int n = source->Read();
        if (n == '<')
            kind = Select('=', ShiftLeftAssign, ShiftLeft);
        else
            kind = n == '=' ? LessEqual : (source->PushBack(n), Less);
        break;
    }
    case '>': {
        int n = source->Read();
        if (n == '>')
            kind = Select('=', ShiftRightAssign, ShiftRight);
        else
            kind = n == '=' ? GreaterEqual : (source->PushBack(n), Greater);
        break;
    }
    case '.': {
        int second = source->Read();
        if (second == '.') {
            int third = source->Read();
            if (third == '.') {
                kind = Ellipsis;
                break;
            }
            source->PushBack(third);
        }
        source->PushBack(second);
        kind = Dot;
        break;
    }
    case ',': kind = Comma; break;
    case ';': kind = Semicolon; break;
    case '(': kind = LeftParen; break;
    case ')': kind = RightParen; break;
    case '[': kind = LeftBracket; break;
    case ']': kind = RightBracket; break;
    case '{': kind = LeftBrace; break;
    case '}': kind = RightBrace; break;
    default:
        token.text.push_back(char(c));
        return Fail(token, invalidCharacter);
    }
    token.kind = kind;
    return kind;
}

int32_t Tokenizer::ReadRestOfLine(Token& token, int options)
{
    assert(source && !hasLookAhead);
    StartToken(token, source->Column());
    bool keepHash = (options & restOfLineKeepHash) != 0 || mode != TokenizerMode::Obj;
    bool dropSpaces = (options & restOfLineDropSpaces) != 0;
    bool invalid = false;
    for (;;) {
        int c = source->Read();
        if (c < 0)
            break;
        if (IsLineEnd(c) || (c == '#' && !keepHash)) {
            source->PushBack(c);
            break;
        }
        bool space = c == ' ' || c == '\t' || c == '\v';
        if (c < 32 && !space)
            invalid = true;
        if (space && dropSpaces)
            continue;
        token.text.push_back(char(c));
    }
    if (dropSpaces) {
        size_t length = token.text.size();
        while (length > 0 && static_cast<unsigned char>(token.text[length - 1]) <= 32)
            length--;
        token.text.resize(length);
    }
    if (invalid)
        return Fail(token, invalidCharacter);
    return token.kind = TokenKind::String;
}

}  // namespace Core
