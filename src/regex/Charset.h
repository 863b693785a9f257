// Internal header of the regular-expression engine (only the engine and its tests include it; it may
// change at any time).
//
// Character sets of the regular-expression engine: bracket expressions "[...]", the class escapes
// \d \D \s \S \w \W and the POSIX classes "[:name:]".
//
// Whatever a set was built from, finishing it folds everything (classes, negated classes, sets added
// whole, negation) into one 256-bit byte map, so that the matcher tests membership with a single bit
// test. Classification is the C library's in the "C" locale, written out here as a fixed table, so the
// result never depends on the process locale: every byte from 0x80 up is in \W, \S and \D, and Cyrillic
// letters (windows-1251 0xC0-0xFF) are matched only by explicit byte ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace regex {
namespace detail {

/// A set of bytes, one bit per byte value.
struct byte_set {
    std::uint64_t Bits[4] = {0, 0, 0, 0};

    bool test(unsigned char Ch) const { return (Bits[Ch >> 6] >> (Ch & 63)) & 1u; }
    void set(unsigned char Ch) { Bits[Ch >> 6] |= std::uint64_t{1} << (Ch & 63); }
    void set_range(unsigned char Low, unsigned char High);
    void invert();
    byte_set& operator|=(const byte_set& Other);
    bool operator==(const byte_set& Other) const;
    bool operator!=(const byte_set& Other) const { return !(*this == Other); }
    bool empty() const;
    size_t count() const;
    /// The byte when the set holds exactly one, else -1.
    int single() const;
    /// The set as text, for dumps: "[0-9A-Z_a-z]"; bytes outside printable ASCII as \xHH.
    std::string to_string() const;
};

/// Classification bits of the "C" locale.
enum class_bit : std::uint16_t {
    kUpper = 0x1,
    kLower = 0x2,
    kDigit = 0x4,
    kSpace = 0x8,
    kPunct = 0x10,
    kCntrl = 0x20,
    kBlank = 0x40,
    kXdigit = 0x80,
    kAlpha = 0x100,
};

/// The classification bits of a byte.
std::uint16_t classify(unsigned char Ch);

/// ASCII-only case mapping of the "C" locale.
inline unsigned char to_lower(unsigned char Ch)
{
    return (Ch >= 'A' && Ch <= 'Z') ? static_cast<unsigned char>(Ch + ('a' - 'A')) : Ch;
}
inline unsigned char to_upper(unsigned char Ch)
{
    return (Ch >= 'a' && Ch <= 'z') ? static_cast<unsigned char>(Ch - ('a' - 'A')) : Ch;
}

/// The predefined set of a class escape letter (d, D, s, S, w or W), built once on first use.
const byte_set& predefined_set(char Letter);

/// A bracket expression being built (the "custom charset"). Add members, then finish.
class charset {
  public:
    void negate() { m_Negated = true; }
    /// Adds one byte; with NoCase also its other-case form.
    void add_char(unsigned char Ch, bool NoCase);
    /// Adds Low..High (Low <= High, checked by the caller); with NoCase every byte's other-case form too.
    void add_range(unsigned char Low, unsigned char High, bool NoCase);
    /// ORs classification bits into the positive class mask.
    void add_class(std::uint16_t Mask) { m_ClassMask = static_cast<std::uint16_t>(m_ClassMask | Mask); }
    /// Adds the bytes that lack every bit of Mask.
    void add_negated_class(std::uint16_t Mask) { m_NegatedMasks.push_back(Mask); }
    /// Adds every member of a finished set.
    void add_set(const byte_set& Members) { m_Map |= Members; }
    /// The membership of every byte, negation applied.
    byte_set finish() const;

  private:
    bool m_Negated = false;
    byte_set m_Map;
    std::uint16_t m_ClassMask = 0;
    std::vector<std::uint16_t> m_NegatedMasks;
};

/// Parses a bracket expression. Cur points just after '['; on return it points after the closing ']'.
/// Flags: the working compile flags (NOCASE and C_ESCAPES matter). Throws regex::bad_regexpr with
/// "invalid range specified in character set" or "expecting end of character set".
byte_set parse_bracket(const char*& Cur, const char* End, unsigned Flags);

} // namespace detail
} // namespace regex
