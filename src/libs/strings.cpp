#include "libs/strings.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "libs/Exceptions.h"
#include "libs/Url.h"

void ReplaceAll(const std::string& Text, const std::string& Find, const std::string& Replace,
                std::string& Result)
{
    FATAL_CHECK(!Find.empty());
    FATAL_CHECK(&Result != &Text && &Result != &Find && &Result != &Replace);
    Result.clear();
    std::string::size_type position = 0;
    for (;;) {
        const std::string::size_type found = FindText(Text, position, Find);
        if (found == std::string::npos) {
            Result.append(Text, position, std::string::npos);
            return;
        }
        Result.append(Text, position, found - position);
        Result += Replace;
        position = found + Find.size();
    }
}

void StoreAt(std::vector<std::string>& List, size_t Index, std::string Value)
{
    FATAL_CHECK(Index < List.max_size());
    if (Index >= List.size())
        List.resize(Index + 1, kErrorPage);
    List[Index] = std::move(Value);
}

namespace {

struct TNamedReference {
    const char* Name; ///< without its ';'
    char32_t CodePoint;
    bool Legacy; ///< also recognised without its ';'
};

/// The named references that addresses hold: the markup characters, the legacy ones that HTML reads
/// without a ';' too, and the punctuation of Russian text.
const TNamedReference kNamedReferences[] = {
    {"amp", '&', true},       {"lt", '<', true},        {"gt", '>', true},         {"quot", '"', true},
    {"apos", '\'', false},    {"nbsp", 0xA0, true},     {"copy", 0xA9, true},      {"reg", 0xAE, true},
    {"laquo", 0xAB, true},    {"raquo", 0xBB, true},    {"shy", 0xAD, true},       {"deg", 0xB0, true},
    {"middot", 0xB7, true},   {"sect", 0xA7, true},     {"para", 0xB6, true},      {"plusmn", 0xB1, true},
    {"ndash", 0x2013, false}, {"mdash", 0x2014, false}, {"hellip", 0x2026, false}, {"lsquo", 0x2018, false},
    {"rsquo", 0x2019, false}, {"ldquo", 0x201C, false}, {"rdquo", 0x201D, false},  {"bdquo", 0x201E, false},
    {"euro", 0x20AC, false},  {"trade", 0x2122, false}, {"numero", 0x2116, false},
};

/// What HTML reads for the numeric references 0x80-0x9F: the windows-1252 characters (0: itself).
const char32_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsAsciiAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

/// Decodes the numeric reference that Value holds at At ("&#") as HTML does, into CodePoint; returns the
/// length read, 0 when it has no digits.
size_t NumericReference(std::string_view Value, size_t At, char32_t& CodePoint)
{
    size_t i = At + 2;
    const bool hex = i < Value.size() && (Value[i] == 'x' || Value[i] == 'X');
    i += hex ? 1 : 0;
    const size_t digits = i;
    unsigned long code = 0;
    for (; i < Value.size(); ++i) {
        const int digit =
            hex ? HexValue(Value[i]) : (Value[i] >= '0' && Value[i] <= '9' ? Value[i] - '0' : -1);
        if (digit < 0)
            break;
        code = std::min(code * (hex ? 16 : 10) + static_cast<unsigned long>(digit), 0x110000UL);
    }
    if (i == digits)
        return 0;
    if (i < Value.size() && Value[i] == ';')
        ++i;
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    else if (code >= 0x80 && code <= 0x9F && kWindows1252[code - 0x80] != 0)
        code = kWindows1252[code - 0x80];
    CodePoint = static_cast<char32_t>(code);
    return i - At;
}

/// Decodes the named reference that Value holds at At ('&') as HTML does in an attribute value; returns
/// the length read, 0 when there is none.
size_t NamedReference(std::string_view Value, size_t At, char32_t& CodePoint)
{
    for (const TNamedReference& named : kNamedReferences) {
        const size_t length = std::strlen(named.Name);
        if (Value.compare(At + 1, length, named.Name) != 0)
            continue;
        const size_t end = At + 1 + length;
        if (end < Value.size() && Value[end] == ';') {
            CodePoint = named.CodePoint;
            return length + 2;
        }
        // Without its ';', a legacy name counts unless a letter, a digit or '=' follows.
        if (named.Legacy &&
            (end == Value.size() || (!IsAsciiAlphanumeric(Value[end]) && Value[end] != '='))) {
            CodePoint = named.CodePoint;
            return length + 1;
        }
    }
    return 0;
}

} // namespace

std::string DecodeCharacterReferences(std::string_view Value)
{
    if (Value.find('&') == std::string_view::npos)
        return std::string(Value);
    std::string text;
    text.reserve(Value.size());
    for (size_t i = 0; i < Value.size(); ++i) {
        if (Value[i] != '&') {
            text += Value[i];
            continue;
        }
        char32_t codePoint = 0;
        const size_t length = i + 1 < Value.size() && Value[i + 1] == '#'
                                  ? NumericReference(Value, i, codePoint)
                                  : NamedReference(Value, i, codePoint);
        if (length == 0) {
            text += '&';
            continue;
        }
        BrintLib::AppendAddressCharacter(text, codePoint);
        i += length - 1;
    }
    return text;
}

size_t FindText(std::string_view Text, size_t From, std::string_view Needle)
{
    FATAL_CHECK(!Needle.empty());
    if (From > Text.size() || Text.size() - From < Needle.size())
        return std::string_view::npos;
    const char* const text = Text.data();
    const size_t last = Needle.size() - 1;
    const size_t lastStart = Text.size() - Needle.size(); // the last position where Needle may begin
    size_t at = From;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(Needle[0]);
    const __m128i end = _mm_set1_epi8(Needle[last]);
    for (; at + 15 <= lastStart; at += 16) {
        const __m128i atFirst = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const __m128i atEnd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + last));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(atFirst, first), _mm_cmpeq_epi8(atEnd, end))));
        for (; mask != 0; mask &= mask - 1) {
            const size_t candidate = at + static_cast<size_t>(__builtin_ctz(mask));
            // A needle of one or two bytes is its first and last byte.
            if (last <= 1 || std::memcmp(text + candidate + 1, Needle.data() + 1, last - 1) == 0)
                return candidate;
        }
    }
#endif
    for (; at <= lastStart; ++at) {
        if (text[at] == Needle[0] && std::memcmp(text + at, Needle.data(), Needle.size()) == 0)
            return at;
    }
    return std::string_view::npos;
}

std::string Excerpt(std::string_view Text, std::string_view Quote)
{
    constexpr size_t kLimit = 300;
    std::string excerpt(Quote);
    if (Text.size() <= kLimit)
        return excerpt.append(Text).append(Quote);
    excerpt.append(Text.substr(0, kLimit)).append("...").append(Quote);
    return excerpt + " (" + std::to_string(Text.size()) + " байт)";
}

std::string XmlEscape(std::string_view Text)
{
    std::string result;
    result.reserve(Text.size());
    for (const char c : Text) {
        switch (c) {
        case '&':
            result += "&amp;";
            break;
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '"':
            result += "&quot;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                result += c;
        }
    }
    return result;
}

std::string CollapseSpace(std::string_view Text)
{
    std::string result;
    bool blank = false;
    for (const char c : Text) {
        if (IsHtmlSpace(c)) {
            blank = !result.empty();
            continue;
        }
        if (blank)
            result += ' ';
        blank = false;
        result += c;
    }
    return result;
}
