#include "libs/strings.h"

#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "libs/Exceptions.h"

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
    const char* Name; ///< with its ';'
    char Byte;
};

const TNamedReference kNamedReferences[] = {
    {"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}, {"nbsp;", '\xA0'},
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

/// Decodes the numeric reference that Value holds at At ("&#"), into Byte; returns the length read, 0 when
/// it is no reference to an ASCII character.
size_t NumericReference(std::string_view Value, size_t At, char& Byte)
{
    size_t i = At + 2;
    const bool hex = i < Value.size() && (Value[i] == 'x' || Value[i] == 'X');
    i += hex ? 1 : 0;
    const size_t digits = i;
    long code = 0;
    for (; i < Value.size(); ++i) {
        const int digit =
            hex ? HexValue(Value[i]) : (Value[i] >= '0' && Value[i] <= '9' ? Value[i] - '0' : -1);
        if (digit < 0)
            break;
        code = code * (hex ? 16 : 10) + digit;
        if (code >= 0x80)
            return 0;
    }
    if (i == digits || code == 0)
        return 0;
    if (i < Value.size() && Value[i] == ';')
        ++i;
    Byte = static_cast<char>(code);
    return i - At;
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
        size_t length = 0;
        char byte = '&';
        if (i + 1 < Value.size() && Value[i + 1] == '#') {
            length = NumericReference(Value, i, byte);
        } else {
            for (const TNamedReference& named : kNamedReferences) {
                if (Value.substr(i + 1).compare(0, std::strlen(named.Name), named.Name) == 0) {
                    length = 1 + std::strlen(named.Name);
                    byte = named.Byte;
                    break;
                }
            }
        }
        text += byte;
        if (length > 0)
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
