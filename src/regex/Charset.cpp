#include "regex/Charset.h"

#include "regex/Regex.h"
#include "regex/Syntax.h"

#include <array>

namespace regex {
namespace detail {

void byte_set::set_range(unsigned char Low, unsigned char High)
{
    for (unsigned ch = Low; ch <= High; ++ch) {
        set(static_cast<unsigned char>(ch));
    }
}

void byte_set::invert()
{
    for (auto& word : Bits) {
        word = ~word;
    }
}

byte_set& byte_set::operator|=(const byte_set& Other)
{
    for (int i = 0; i < 4; ++i) {
        Bits[i] |= Other.Bits[i];
    }
    return *this;
}

bool byte_set::operator==(const byte_set& Other) const
{
    return Bits[0] == Other.Bits[0] && Bits[1] == Other.Bits[1] && Bits[2] == Other.Bits[2] &&
           Bits[3] == Other.Bits[3];
}

bool byte_set::empty() const
{
    return (Bits[0] | Bits[1] | Bits[2] | Bits[3]) == 0;
}

size_t byte_set::count() const
{
    size_t total = 0;
    for (unsigned ch = 0; ch < 256; ++ch) {
        total += test(static_cast<unsigned char>(ch)) ? 1 : 0;
    }
    return total;
}

int byte_set::single() const
{
    int found = -1;
    for (unsigned ch = 0; ch < 256; ++ch) {
        if (test(static_cast<unsigned char>(ch))) {
            if (found >= 0) {
                return -1;
            }
            found = static_cast<int>(ch);
        }
    }
    return found;
}

namespace {

void AppendByte(std::string& Out, unsigned Ch)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (Ch > 32 && Ch < 127 && Ch != '\\' && Ch != ']' && Ch != '-' && Ch != '^') {
        Out += static_cast<char>(Ch);
    } else {
        Out += "\\x";
        Out += kHex[Ch >> 4];
        Out += kHex[Ch & 15];
    }
}

} // namespace

std::string byte_set::to_string() const
{
    std::string out = "[";
    unsigned ch = 0;
    while (ch < 256) {
        if (!test(static_cast<unsigned char>(ch))) {
            ++ch;
            continue;
        }
        unsigned last = ch;
        while (last + 1 < 256 && test(static_cast<unsigned char>(last + 1))) {
            ++last;
        }
        AppendByte(out, ch);
        if (last > ch) {
            if (last > ch + 1) {
                out += '-';
            }
            AppendByte(out, last);
        }
        ch = last + 1;
    }
    out += ']';
    return out;
}

std::uint16_t classify(unsigned char Ch)
{
    std::uint16_t bits = 0;
    if (Ch >= 'A' && Ch <= 'Z') {
        bits |= kUpper | kAlpha;
    }
    if (Ch >= 'a' && Ch <= 'z') {
        bits |= kLower | kAlpha;
    }
    if (Ch >= '0' && Ch <= '9') {
        bits |= kDigit;
    }
    if ((Ch >= '0' && Ch <= '9') || (Ch >= 'a' && Ch <= 'f') || (Ch >= 'A' && Ch <= 'F')) {
        bits |= kXdigit;
    }
    if (Ch == ' ' || (Ch >= 9 && Ch <= 13)) {
        bits |= kSpace;
    }
    if (Ch == ' ') {
        bits |= kBlank;
    }
    if (Ch < 32 || Ch == 127) {
        bits |= kCntrl;
    }
    if (Ch > 32 && Ch < 127 && !(bits & (kAlpha | kDigit))) {
        bits |= kPunct;
    }
    return bits;
}

namespace {

// Masks of the POSIX class names, in the order of kPosixClassNames without the negated forms.
std::uint16_t PosixMask(int NameIndex, bool NoCase)
{
    static const std::uint16_t kMasks[12] = {
        kAlpha | kDigit,                   // alnum
        kAlpha,                            // alpha
        kBlank,                            // blank
        kCntrl,                            // cntrl
        kDigit,                            // digit
        kPunct | kAlpha | kDigit,          // graph
        kLower,                            // lower
        kPunct | kAlpha | kDigit | kBlank, // print
        kPunct,                            // punct
        kSpace,                            // space
        kUpper,                            // upper
        kXdigit,                           // xdigit
    };
    if (NoCase && (NameIndex == 6 || NameIndex == 10)) {
        return kLower | kUpper;
    }
    return kMasks[NameIndex];
}

byte_set MembersOf(std::uint16_t Mask)
{
    byte_set members;
    for (unsigned ch = 0; ch < 256; ++ch) {
        if (classify(static_cast<unsigned char>(ch)) & Mask) {
            members.set(static_cast<unsigned char>(ch));
        }
    }
    return members;
}

} // namespace

const byte_set& predefined_set(char Letter)
{
    static const std::array<byte_set, 6> kSets = [] {
        std::array<byte_set, 6> sets;
        sets[0] = MembersOf(kDigit);
        sets[1] = sets[0];
        sets[1].invert();
        sets[2] = MembersOf(kSpace);
        sets[3] = sets[2];
        sets[3].invert();
        sets[4] = MembersOf(kAlpha | kDigit);
        sets[4].set('_');
        sets[5] = sets[4];
        sets[5].invert();
        return sets;
    }();
    switch (Letter) {
    case 'd':
        return kSets[0];
    case 'D':
        return kSets[1];
    case 's':
        return kSets[2];
    case 'S':
        return kSets[3];
    case 'w':
        return kSets[4];
    default:
        return kSets[5];
    }
}

void charset::add_char(unsigned char Ch, bool NoCase)
{
    m_Map.set(Ch);
    if (NoCase) {
        m_Map.set(to_lower(Ch));
        m_Map.set(to_upper(Ch));
    }
}

void charset::add_range(unsigned char Low, unsigned char High, bool NoCase)
{
    for (unsigned ch = Low; ch <= High; ++ch) {
        add_char(static_cast<unsigned char>(ch), NoCase);
    }
}

byte_set charset::finish() const
{
    byte_set members = m_Map;
    for (unsigned ch = 0; ch < 256; ++ch) {
        const std::uint16_t bits = classify(static_cast<unsigned char>(ch));
        bool in = (bits & m_ClassMask) != 0;
        for (std::uint16_t mask : m_NegatedMasks) {
            in = in || (bits & mask) == 0;
        }
        if (in) {
            members.set(static_cast<unsigned char>(ch));
        }
    }
    if (m_Negated) {
        members.invert();
    }
    return members;
}

byte_set parse_bracket(const char*& Cur, const char* End, unsigned Flags)
{
    using syntax = perl_reader;
    const bool noCase = (Flags & NOCASE) != 0;
    charset set;
    set_token_value value;
    const char* cur = Cur;

    set_token token = syntax::set_token_at(cur, End, Flags, value);
    if (token == set_token::negate) {
        set.negate();
        token = syntax::set_token_at(cur, End, Flags, value);
    }
    // The first item is always an item: ']', '^' and '-' there are characters.
    bool first = true;
    for (;;) {
        if (!first) {
            token = syntax::set_token_at(cur, End, Flags, value);
        }
        unsigned char ch = 0;
        switch (token) {
        case set_token::end_of_pattern:
            throw bad_regexpr("expecting end of character set");
        case set_token::end:
            if (!first) {
                Cur = cur;
                return set.finish();
            }
            ch = ']';
            break;
        case set_token::negate:
            ch = '^';
            break;
        case set_token::range:
            ch = '-';
            break;
        case set_token::class_escape:
            set.add_set(predefined_set(value.Letter));
            first = false;
            continue;
        case set_token::posix_class: {
            const std::uint16_t mask = PosixMask(value.ClassIndex / 2, noCase);
            if (value.ClassIndex % 2 == 0) {
                set.add_class(mask);
            } else {
                set.add_negated_class(mask);
            }
            first = false;
            continue;
        }
        case set_token::character:
            ch = value.Char;
            break;
        }
        first = false;
        // ch is pending: a following '-' may make it the start of a range.
        const char* afterPending = cur;
        if (syntax::set_token_at(cur, End, Flags, value) != set_token::range) {
            cur = afterPending;
            set.add_char(ch, noCase);
            continue;
        }
        const char* afterDash = cur;
        const set_token rangeEnd = syntax::set_token_at(cur, End, Flags, value);
        unsigned char high = 0;
        switch (rangeEnd) {
        case set_token::character:
            high = value.Char;
            break;
        case set_token::range:
            high = '-';
            break;
        case set_token::negate:
            high = '^';
            break;
        case set_token::end_of_pattern:
            throw bad_regexpr("expecting end of character set");
        default:
            // "]", a class escape or a POSIX class: the pending character and the dash are literal.
            set.add_char(ch, noCase);
            set.add_char('-', noCase);
            cur = afterDash;
            continue;
        }
        if (high < ch) {
            throw bad_regexpr("invalid range specified in character set");
        }
        set.add_range(ch, high, noCase);
    }
}

} // namespace detail
} // namespace regex
