// Bracket expressions, class escapes and POSIX classes: the exact set of bytes each one holds.
#include "regex/Charset.h"

#include "RegexTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using regex::detail::byte_set;

// The set of a bracket expression written in a pattern, e.g. "[a-c]".
byte_set Parse(const std::string& Bracket, unsigned Flags = 0)
{
    const char* cur = Bracket.data() + 1;
    const char* end = Bracket.data() + Bracket.size();
    const byte_set set = regex::detail::parse_bracket(cur, end, Flags);
    EXPECT_EQ(cur, end) << Bracket << ": the set should end at the last ']'";
    return set;
}

byte_set Bytes(const std::string& Members)
{
    byte_set set;
    for (char ch : Members) {
        set.set(static_cast<unsigned char>(ch));
    }
    return set;
}

byte_set Range(unsigned Low, unsigned High)
{
    byte_set set;
    set.set_range(static_cast<unsigned char>(Low), static_cast<unsigned char>(High));
    return set;
}

byte_set Union(byte_set A, const byte_set& B)
{
    A |= B;
    return A;
}

byte_set Not(byte_set A)
{
    A.invert();
    return A;
}

const byte_set kDigits = Range('0', '9');
const byte_set kSpaces = Union(Range(9, 13), Bytes(" "));
const byte_set kUpper = Range('A', 'Z');
const byte_set kLower = Range('a', 'z');

struct TSetCase {
    const char* Bracket;
    unsigned Flags;
    byte_set Expected;
};

TEST(RegexCharset, HoldsExactlyTheBytesOfEachForm)
{
    const TSetCase cases[] = {
        {"[]a]", 0, Bytes("]a")},
        {"[^]a]", 0, Not(Bytes("]a"))},
        {"[a-]", 0, Bytes("a-")},
        {"[-a]", 0, Bytes("-a")},
        {"[^-]", 0, Not(Bytes("-"))},
        {"[^^]", 0, Not(Bytes("^"))},
        {"[a^]", 0, Bytes("a^")},
        {"[\\d-z]", 0, Union(kDigits, Bytes("-z"))},
        {"[a-\\d]", 0, Union(kDigits, Bytes("a-"))},
        {"[%--]", 0, Range('%', '-')},
        {"[!-^]", 0, Range('!', '^')},
        {"[\\xC0-\\xFF]", 0, Range(0xC0, 0xFF)},
        {"[\xC0-\xDF\xE0-\xFF]", 0, Range(0xC0, 0xFF)},    // [A-Ya-ya] in windows-1251
        {"[\xE0-\xFF]", regex::NOCASE, Range(0xE0, 0xFF)}, // only ASCII letters have case
        {"[^\\s>\"']", 0, Not(Union(kSpaces, Bytes(">\"'")))},
        {"[\\s>]", 0, Union(kSpaces, Bytes(">"))},
        {"[^\\S]", 0, kSpaces},
        {"[\\W]", 0, Not(Union(Union(kDigits, Union(kUpper, kLower)), Bytes("_")))},
        {"[[:alpha:]]", 0, Union(kUpper, kLower)},
        {"[[:^digit:]]", 0, Not(kDigits)},
        {"[[:upper:]]", 0, kUpper},
        {"[[:upper:]]", regex::NOCASE, Union(kUpper, kLower)},
        {"[[:^lower:]]", regex::NOCASE, Not(Union(kUpper, kLower))},
        {"[[:blank:]]", 0, Bytes(" ")},
        {"[[:space:]]", 0, kSpaces},
        {"[[:xdigit:]]", 0, Union(kDigits, Union(Range('a', 'f'), Range('A', 'F')))},
        {"[[:cntrl:]]", 0, Union(Range(0, 31), Bytes("\x7F"))},
        {"[[:print:]]", 0, Range(32, 126)},
        {"[[:graph:]]", 0, Range(33, 126)},
        {"[[:punct:]]", 0, Union(Union(Range(33, 47), Range(58, 64)), Union(Range(91, 96), Range(123, 126)))},
        {"[[:alnum:]_]", 0, Union(Union(kDigits, Union(kUpper, kLower)), Bytes("_"))},
        {"[[:^alpha:][:digit:]]", 0, Not(Union(kUpper, kLower))},
        {"[\\x41-\\x43]", 0, Bytes("ABC")},
        {"[\\101]", 0, Bytes("A")},
        {"[\\0]", 0, Bytes(std::string(1, '\0'))},
        {"[\\1234]", 0, Bytes("\x9C")}, // all octal digits, modulo 256
        {"[\\x]", 0, Bytes(std::string(1, '\0'))},
        {"[\\x414]", 0, Bytes("\x14")}, // all hex digits, modulo 256
        {"[\\ca\\c[]", 0, Bytes("\x01\x1B")},
        {"[\\e\\b]", 0, Bytes("\x1B\x08")},
        {"[\\n\\t\\v]", 0, Bytes("ntv")},
        {"[\\n\\t\\v\\a\\f\\r]", regex::C_ESCAPES, Bytes("\n\t\v\a\f\r")},
        {"[\\]\\-\\^\\8\\A\\\\]", 0, Bytes("]-^8A\\")},
        {"[\\d-\\s]", 0, Union(Union(kDigits, kSpaces), Bytes("-"))},
        {"[a-c]", regex::NOCASE, Bytes("abcABC")},
        {"[^a]", regex::NOCASE, Not(Bytes("aA"))},
    };
    for (const auto& test : cases) {
        const byte_set set = Parse(test.Bracket, test.Flags);
        EXPECT_EQ(set.to_string(), test.Expected.to_string()) << test.Bracket;
    }
}

TEST(RegexCharset, AnUnknownPosixNameIsLiteralText)
{
    // [[:foo:]] is the set {'[', ':', 'f', 'o'} followed by a literal ']'.
    EXPECT_EQ(regex_test::Run("[[:foo:]]", 0, "f]"), "(0,2)");
    EXPECT_EQ(regex_test::Run("[[:foo:]]", 0, "f"), "no");
    EXPECT_EQ(regex_test::Run("^[[:foo:]]+$", 0, "[:fo]"), "no");
    const char* cur = "[[:foo:]]";
    const char* end = cur + 9;
    ++cur;
    const byte_set set = regex::detail::parse_bracket(cur, end, 0);
    EXPECT_EQ(set.to_string(), Bytes("[:fo").to_string());
    EXPECT_EQ(std::string(cur), "]");
}

TEST(RegexCharset, ReportsBadRangesAndUnendedSets)
{
    EXPECT_EQ(regex_test::CompileError("[z-a]"), "invalid range specified in character set");
    EXPECT_EQ(regex_test::CompileError("[\\xFF-\\x00]"), "invalid range specified in character set");
    EXPECT_EQ(regex_test::CompileError("[a-^]"), "invalid range specified in character set");
    for (const char* pattern : {"[", "[a", "[a-", "[^", "[]", "[\\", "[\\c", "[[:alpha:]"}) {
        EXPECT_EQ(regex_test::CompileError(pattern), "expecting end of character set") << pattern;
    }
}

TEST(RegexCharset, ClassEscapesFollowTheCLocale)
{
    // Every byte from 0x80 up is in \W, \S and \D: a Cyrillic letter is no word character.
    for (unsigned ch = 0; ch < 256; ++ch) {
        const std::string subject(1, static_cast<char>(ch));
        const bool digit = ch >= '0' && ch <= '9';
        const bool space = ch == ' ' || (ch >= 9 && ch <= 13);
        const bool word = digit || ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        EXPECT_EQ(regex_test::Run("\\d", 0, subject) != "no", digit) << ch;
        EXPECT_EQ(regex_test::Run("\\D", 0, subject) != "no", !digit) << ch;
        EXPECT_EQ(regex_test::Run("\\s", 0, subject) != "no", space) << ch;
        EXPECT_EQ(regex_test::Run("\\S", 0, subject) != "no", !space) << ch;
        EXPECT_EQ(regex_test::Run("\\w", 0, subject) != "no", word) << ch;
        EXPECT_EQ(regex_test::Run("\\W", 0, subject) != "no", !word) << ch;
        EXPECT_EQ(regex_test::Run("[\xC0-\xFF]", 0, subject) != "no", ch >= 0xC0) << ch;
    }
}

} // namespace
