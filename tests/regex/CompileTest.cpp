// Compilation of patterns: the node tree (as dumped), group numbering, widths, prefix and anchoring, and
// every compile error with its exact message.
#include "RegexTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using regex_test::CompileError;
using regex_test::TPattern;

struct TDumpCase {
    const char* Pattern;
    unsigned Flags;
    const char* Dump;
};

const TDumpCase kDumpCases[] = {
    // A quantifier after a run applies to its last character only.
    {"abc*", 0, R"(group 0 capture w=[2,U] first=[a]
  alt
    literal "ab" w=[2,2]
    max_atom {0,U} w=[0,U]
      char "c" w=[1,1]
    end_group 0
end_of_pattern)"},
    // Counted forms: {,3} is {0,3}; }? makes it lazy; {2,} is unbounded.
    {"a{,3}|b{2,}?", 0, R"(group 0 capture w=[0,U]
  alt
    max_atom {0,3} w=[0,3]
      char "a" w=[1,1]
    end_group 0
  alt
    min_atom {2,U} w=[2,U]
      char "b" w=[1,1]
    end_group 0
end_of_pattern)"},
    // An incomplete counted form is literal text.
    {"a{3", 0, R"(group 0 capture w=[3,3] first=[a]
  alt
    literal "a{3" w=[3,3]
    end_group 0
end_of_pattern)"},
    {"a{}", 0, R"(group 0 capture w=[0,0]
  alt
    max_atom {0,0} w=[0,0]
      char "a" w=[1,1]
    end_group 0
end_of_pattern)"},
    // (?i) lasts to the end of the enclosing group; (?i:...) only inside.
    {"(?i)ab", 0, R"(group 0 capture w=[2,2] first=[Aa]
  alt
    literal_nocase "ab" "AB" w=[2,2]
    end_group 0
end_of_pattern)"},
    {"x(?i:a)b", 0, R"(group 0 capture w=[3,3] first=[x]
  alt
    char "x" w=[1,1]
    group 1 invisible w=[1,1] first=[Aa]
      alt
        char_nocase "a" "A" w=[1,1]
        end_group 1
    char "b" w=[1,1]
    end_group 0
end_of_pattern)"},
    // Invisible groups take internal numbers; \2 names the second capturing group, internal 3.
    {"(a)(?:b)(c)\\2", 0, R"(group 0 capture w=[4,4] first=[a]
  alt
    group 1 capture w=[1,1] first=[a]
      alt
        char "a" w=[1,1]
        end_group 1
    group 2 invisible w=[1,1] first=[b]
      alt
        char "b" w=[1,1]
        end_group 2
    group 3 capture w=[1,1] first=[c]
      alt
        char "c" w=[1,1]
        end_group 3
    backref 2 internal 3 w=[1,1]
    end_group 0
end_of_pattern)"},
    // A conditional takes a number; its group condition is converted like a back-reference.
    {"(?(1)a|b)(x)", 0, R"(group 0 capture w=[2,2] first=[ab]
  alt
    cond_backref 1 if 1 internal 2 w=[1,1] first=[ab]
      alt
        char "a" w=[1,1]
        end_group 1
      alt
        char "b" w=[1,1]
        end_group 1
    group 2 capture w=[1,1] first=[x]
      alt
        char "x" w=[1,1]
        end_group 2
    end_group 0
end_of_pattern)"},
    // A conditional with one branch may match nothing: minimum 0 and no first-byte set.
    {"(?(?<=a)b)", 0, R"(group 0 capture w=[0,1]
  alt
    cond_assert 1 w=[0,1]
      condition
        lookbehind positive inner=[1,1] w=[0,0] first=[a]
          alt
            char "a" w=[1,1]
            end_group -1
      alt
        char "b" w=[1,1]
        end_group 1
    end_group 0
end_of_pattern)"},
    // Look-behind keeps its own inner width; sets cannot tell their first byte.
    {"(?<=\\s*\")[^\"]+", 0, R"(group 0 capture w=[1,U]
  alt
    lookbehind positive inner=[1,U] w=[0,0]
      alt
        max_atom {0,U} w=[0,U]
          set [\x09-\x0D\x20] w=[1,1]
        char "\x22" w=[1,1]
        end_group -1
    max_atom {1,U} w=[1,U]
      set [\x00-!#-\xFF] w=[1,1]
    end_group 0
end_of_pattern)"},
    {"(?>a|b)+?", 0, R"(group 0 capture w=[1,U] first=[ab]
  alt
    min_group {1,U} w=[1,U]
      independent 1 w=[1,1] first=[ab]
        alt
          char "a" w=[1,1]
          end_group 1
        alt
          char "b" w=[1,1]
          end_group 1
    end_group 0
end_of_pattern)"},
    {"^$\\A\\Z\\z\\b\\B", 0, R"(group 0 capture w=[0,0]
  alt
    assert_bos w=[0,0]
    assert_peos w=[0,0]
    assert_bos w=[0,0]
    assert_peos w=[0,0]
    assert_eos w=[0,0]
    word_boundary w=[0,0]
    not_word_boundary w=[0,0]
    end_group 0
end_of_pattern)"},
    {"^$", regex::MULTILINE, R"(group 0 capture w=[0,0]
  alt
    assert_bol w=[0,0]
    assert_eol w=[0,0]
    end_group 0
end_of_pattern)"},
    {".(?s:.)", 0, R"(group 0 capture w=[2,2]
  alt
    any_but_newline w=[1,1]
    group 1 invisible w=[1,1]
      alt
        any w=[1,1]
        end_group 1
    end_group 0
end_of_pattern)"},
    // \Q...\E is one literal; \Q\E and (?:) make nothing; (?#...) is skipped.
    {"\\Q.*\\E\\Q\\E(?:)(?#c\\)x)", 0, R"(group 0 capture w=[2,2] first=[.]
  alt
    literal ".*" w=[2,2]
    end_group 0
end_of_pattern)"},
    // EXTENDED skips blanks and comments, also inside a run; escapes stay.
    {"a b # note\n c\\ d", regex::EXTENDED, R"(group 0 capture w=[5,5] first=[a]
  alt
    literal "abc" w=[3,3]
    char " " w=[1,1]
    char "d" w=[1,1]
    end_group 0
end_of_pattern)"},
    // Escapes: \x41, \101 octal, \cA control, \e, \t only with C_ESCAPES.
    {"\\x41\\101\\ca\\e\\t", 0, R"(group 0 capture w=[5,5] first=[A]
  alt
    char "A" w=[1,1]
    char "A" w=[1,1]
    char "\x01" w=[1,1]
    char "\x1B" w=[1,1]
    char "t" w=[1,1]
    end_group 0
end_of_pattern)"},
    {"\\t\\n", regex::C_ESCAPES, R"(group 0 capture w=[2,2] first=[\x09]
  alt
    char "\x09" w=[1,1]
    char "\x0A" w=[1,1]
    end_group 0
end_of_pattern)"},
    // Under NOCASE a set gets both cases of its letters, a back-reference compares without case.
    {"([a-c])\\1", regex::NOCASE, R"(group 0 capture w=[2,2]
  alt
    group 1 capture w=[1,1]
      alt
        set [A-Ca-c] w=[1,1]
        end_group 1
    backref_nocase 1 internal 1 w=[1,1]
    end_group 0
end_of_pattern)"},
    // An empty negative look-around never holds, so it keeps its node.
    {"a(?!)", 0, R"(group 0 capture w=[1,1] first=[a]
  alt
    char "a" w=[1,1]
    lookahead negative w=[0,0]
      alt
        end_group -1
    end_group 0
end_of_pattern)"},
};

TEST(RegexCompile, DumpsTheNodeTreeWithWidthsAndFirstBytes)
{
    for (const auto& test : kDumpCases) {
        const TPattern pattern(test.Pattern, test.Flags);
        EXPECT_EQ(pattern.dump(), test.Dump) << "pattern: " << test.Pattern;
    }
}

struct TErrorCase {
    const char* Pattern;
    unsigned Flags;
    const char* Message;
};

const TErrorCase kErrorCases[] = {
    {"?abc", 0, "ill-formed regular expression"},
    {"(?", 0, "ill-formed regular expression"},
    {"a(?i", 0, "ill-formed regular expression"},
    {"(?<", 0, "ill-formed regular expression"},
    {"(?<x)", 0, "bad extension sequence"},
    {"(?Q)", 0, "bad extension sequence"},
    {"(?i-m-s)", 0, "bad extension sequence"},
    {"(?ia)", 0, "bad extension sequence"},
    {"(?Rx)", 0, "bad extension sequence"},
    {"(?(0)a)", 0, "bad extension sequence"},
    {"(?(1a)b)", 0, "bad extension sequence"},
    {"(?(x)a)", 0, "bad extension sequence"},
    {"(?(?:a)b)", 0, "bad extension sequence"},
    {"(?#comment", 0, "Expecting end of comment"},
    {"(?#escaped \\)", 0, "Expecting end of comment"},
    {"(a)(?(1)b|c|d)", 0, "Too many alternates in conditional subexpression"},
    {")", 0, "mismatched parenthesis"},
    {"a)", 0, "mismatched parenthesis"},
    {"(a", 0, "mismatched parenthesis"},
    {"((a)", 0, "mismatched parenthesis"},
    {"(?=a", 0, "mismatched parenthesis"},
    {"\\c", 0, "incomplete escape sequence \\c"},
    {"ab\\E", 0, "quotemeta turned off, but was never turned on"},
    {"*a", 0, "quantifier not expected"},
    {"a|+", 0, "quantifier not expected"},
    {"(*)", 0, "quantifier not expected"},
    {"a**", 0, "quantifier not expected"},
    {"a*??", 0, "quantifier not expected"},
    {"\\Q.*\\E+", 0, "quantifier not expected"},
    {"^*", 0, "quantifier not expected"},
    {"\\b+", 0, "quantifier not expected"},
    {"(?=a)*", 0, "quantifier not expected"},
    {"(?:)*", 0, "quantifier not expected"},
    {"a{2,1}", 0, "Can't do {n, m} with n > m"},
    {"(?R)*", 0, "recursion sub-expression cannot be quantified"},
    {"a(?R){2}", 0, "recursion sub-expression cannot be quantified"},
    {"[z-a]", 0, "invalid range specified in character set"},
    {"[a-", 0, "expecting end of character set"},
    {"[abc", 0, "expecting end of character set"},
    {"[]", 0, "expecting end of character set"},
    {"[a\\", 0, "expecting end of character set"},
    {"[\\c", 0, "expecting end of character set"},
    {"(a)\\2", 0, "reference to nonexistent group"},
    {"(?:a)\\1", 0, "reference to nonexistent group"},
    // The invisible (?:k) raises the group counter to 12: \11 is a reference, to a group that is not there.
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(?:k)\\11", 0, "reference to nonexistent group"},
    {"(a)(?(2)b)", 0, "reference to nonexistent group"},
};

TEST(RegexCompile, RejectsMalformedPatternsWithTheirMessages)
{
    for (const auto& test : kErrorCases) {
        EXPECT_EQ(CompileError(test.Pattern, test.Flags), test.Message) << "pattern: " << test.Pattern;
    }
}

TEST(RegexCompile, BadRegexprIsALogicError)
{
    try {
        const TPattern pattern("(");
        FAIL() << "no exception";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "mismatched parenthesis");
    }
}

TEST(RegexCompile, AcceptsTheQuietForms)
{
    // Things that look odd but are no errors.
    for (const char* pattern :
         {"", "\\", "a\\", "{", "a{x}", "}", "]", "a{2}{3}", "^{2}", "(?i)", "(?-i)", "(?i-s:a)", "\\Q",
          "\\Q\\E", "(?x) a # comment", "[[:foo:]]", "(?(?!a)b|c)"}) {
        EXPECT_EQ(CompileError(pattern), "") << "pattern: " << pattern;
    }
    EXPECT_EQ(CompileError("x(?#c)*"), "quantifier not expected");
    EXPECT_EQ(CompileError("\\8"), "reference to nonexistent group");
}

struct TNumberingCase {
    const char* Pattern;
    size_t Visible;
    size_t Internal;
};

TEST(RegexCompile, NumbersGroupsByOpeningParenthesis)
{
    const TNumberingCase cases[] = {
        {"", 1, 1},
        {"(a)(?:b)(c)", 3, 4},
        {"(?i:a)(?>b)(?(1)c)(d)", 2, 5},
        {"(?=(a))(?<=(b))", 3, 3}, // look-arounds take no number, their captures do
        {"(?:)(a)", 2, 3},         // an empty extension still takes its number
        {"(?i)(a)", 2, 2},         // a flag change is no group
        {"((a)|(b))+", 4, 4},
    };
    for (const auto& test : cases) {
        const TPattern pattern(test.Pattern);
        EXPECT_EQ(pattern.group_count(), test.Visible) << test.Pattern;
        EXPECT_EQ(pattern.internal_group_count(), test.Internal) << test.Pattern;
    }
}

TEST(RegexCompile, SplitsBackslashNumbersIntoReferencesAndOctal)
{
    // \12 with fewer than 13 groups opened so far is octal 012, a line feed; with 12 groups before it, a
    // reference to group 12.
    EXPECT_EQ(regex_test::Run("\\12", 0, "\n"), "(0,1)");
    std::string twelve;
    for (int i = 0; i < 12; ++i) {
        twelve += "(x)";
    }
    EXPECT_EQ(regex_test::Run(twelve + "\\12", 0, std::string(12, 'x') + "x").substr(0, 6), "(0,13)");
    EXPECT_EQ(regex_test::Run(twelve + "\\12", 0, std::string(12, 'x') + "\n"), "no");
    // 1..9 are always references; \0 and \012 are octal; digits stop at 999.
    EXPECT_EQ(CompileError("\\3"), "reference to nonexistent group");
    EXPECT_EQ(regex_test::Run("\\0", 0, std::string(1, '\0')), "(0,1)");
    EXPECT_EQ(regex_test::Run("\\0123", 0, "\n3"), "(0,2)");
    EXPECT_EQ(regex_test::Run("\\101", 0, "A"), "(0,1)");   // 101 is not below the group counter
    EXPECT_EQ(regex_test::Run("\\1234", 0, "S4"), "(0,2)"); // 123 read, re-read as octal 0123 = 'S'
    EXPECT_EQ(regex_test::Run("\\400", 0, std::string(1, '\0')), "(0,1)"); // modulo 256
}

TEST(RegexCompile, ComputesWidths)
{
    struct {
        const char* Pattern;
        size_t Min;
        size_t Max;
    } cases[] = {
        {"", 0, 0},
        {"abc", 3, 3},
        {"a|bcd", 1, 3},
        {"a{2,5}", 2, 5},
        {"(ab){3}", 6, 6},
        {"(ab)*", 0, regex::unbounded_width},
        {"(?=abc)x", 1, 1},
        {"(a)\\1", 2, 2},
        {"(a|bc)\\1", 2, 4},
        {"\\1?(a)", 1, regex::unbounded_width}, // a reference before its group counts as (0, U)
        {"(?(1)ab|c)(x)", 2, 3},
        {"a(?R)", 1, regex::unbounded_width},
        {"a{0}", 0, 0},
        {"(?:a{0}|b)*", 0, regex::unbounded_width},
    };
    for (const auto& test : cases) {
        const TPattern pattern(test.Pattern);
        EXPECT_EQ(pattern.min_width(), test.Min) << test.Pattern;
        EXPECT_EQ(pattern.max_width(), test.Max) << test.Pattern;
    }
}

TEST(RegexCompile, AnchorsOnlyWhatTheFirstTokenAllows)
{
    struct {
        const char* Pattern;
        unsigned Flags;
        bool Anchored;
    } cases[] = {
        {"^abc", 0, true},
        {"^abc", regex::MULTILINE, false},
        {"^a|b", 0, false},
        {"\\Aabc", 0, false}, // only the ^ token anchors
        {".*x", regex::SINGLELINE, true},
        {".+?x", regex::SINGLELINE, true},
        {".?x", regex::SINGLELINE, false},
        {".*x", 0, false},
        {".*x", regex::SINGLELINE | regex::FROM_RIGHT, false},
        {"(.*?x)", regex::SINGLELINE, false}, // the first token is a group
        {"(?s).*x", 0, false},
    };
    for (const auto& test : cases) {
        const TPattern pattern(test.Pattern, test.Flags);
        EXPECT_EQ(pattern.anchored(), test.Anchored) << test.Pattern;
    }
    // A ^-anchored pattern drops FROM_RIGHT.
    EXPECT_EQ(TPattern("^a", regex::FROM_RIGHT).flags(), 0u);
    EXPECT_EQ(TPattern("a", regex::FROM_RIGHT).flags(), static_cast<unsigned>(regex::FROM_RIGHT));
}

TEST(RegexCompile, PrefixLiteralAndFirstBytes)
{
    EXPECT_EQ(TPattern("<img[^>]*?src").prefix_literal(), "<img");
    EXPECT_EQ(TPattern("^\\b(?=x)xyz|q").prefix_literal(), "");
    EXPECT_EQ(TPattern("^\\b(?=x)xyz").prefix_literal(), "xyz");
    EXPECT_EQ(TPattern("x").prefix_literal(), ""); // one character is no literal string
    EXPECT_EQ(TPattern("ab", regex::NOCASE).prefix_literal(), "ab");
    EXPECT_EQ(TPattern(std::string(300, 'a')).prefix_literal(), std::string(255, 'a'));
    EXPECT_EQ(TPattern("(?:jpg|png|gif)").first_chars(), "gjp");
    EXPECT_EQ(TPattern("[a-z]x").first_chars(), "");
    EXPECT_EQ(TPattern("a?b").first_chars(), "");
    EXPECT_EQ(TPattern("a+b").first_chars(), "a");
}

TEST(RegexCompile, ParsesTheSubstitutionText)
{
    const TPattern pattern("(a)(b)", 0, regex::MODE_RECURSIVE, "x$1$&$`$'\\$\\Q$1\\E\\U\\u\\l\\L\\E$21");
    const auto& items = pattern.substitution();
    std::string shape;
    for (const auto& item : items) {
        switch (item.Kind) {
        case regex::subst_item::literal:
            shape += "[" + item.Text + "]";
            break;
        case regex::subst_item::group:
            shape += "$" + std::to_string(item.Group);
            break;
        case regex::subst_item::prematch:
            shape += "pre";
            break;
        case regex::subst_item::postmatch:
            shape += "post";
            break;
        case regex::subst_item::upper_on:
            shape += "U";
            break;
        case regex::subst_item::lower_on:
            shape += "L";
            break;
        case regex::subst_item::upper_next:
            shape += "u";
            break;
        case regex::subst_item::lower_next:
            shape += "l";
            break;
        case regex::subst_item::case_off:
            shape += "E";
            break;
        }
    }
    EXPECT_EQ(shape, "[x]$1$0prepost[$$1]UulLE$2[1]");
    EXPECT_EQ(CompileError("(a)"), "");
    auto substitutionError = [](const char* Text) { return CompileError("(a)", 0, Text); };
    EXPECT_EQ(substitutionError("$0"), "invalid backreference in substitution");
    EXPECT_EQ(substitutionError("$2"), "invalid backreference in substitution");
    EXPECT_EQ(substitutionError("$"), "invalid backreference in substitution");
    EXPECT_EQ(substitutionError("$x"), "invalid backreference in substitution");
    EXPECT_EQ(substitutionError("a\\"), "expecting escape sequence in substitution string");
    EXPECT_EQ(substitutionError("\\\\"), "");
    const TPattern escaped("(a)", regex::C_ESCAPES, regex::MODE_RECURSIVE, "\\t");
    ASSERT_EQ(escaped.substitution().size(), 1u);
    EXPECT_EQ(escaped.substitution()[0].Text, "\t");
}

// The program's own patterns, from tests/data/regex/program_patterns.txt (pinned to the program's tables by
// the program's tests): one per line as name<TAB>flags<TAB>visible groups<TAB>prefix literal<TAB>anchored
// <TAB>pattern (flags 0, SINGLELINE or NOCASE).
TEST(RegexCompile, CompilesTheProgramsOwnPatterns)
{
    std::ifstream file(std::string(SKERROW_TEST_DATA_DIR) + "/regex/program_patterns.txt", std::ios::binary);
    ASSERT_TRUE(file) << "missing data file";
    std::string line;
    int count = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream stream(line);
        std::string field;
        while (std::getline(stream, field, '\t')) {
            fields.push_back(field);
        }
        ASSERT_EQ(fields.size(), 6u) << line;
        const unsigned flags = fields[1] == "SINGLELINE" ? static_cast<unsigned>(regex::SINGLELINE)
                               : fields[1] == "NOCASE"   ? static_cast<unsigned>(regex::NOCASE)
                                                         : 0u;
        const std::string& text = fields[5];
        ASSERT_EQ(CompileError(text, flags), "") << text;
        const TPattern pattern(text, flags);
        EXPECT_EQ(pattern.group_count() - 1, std::stoul(fields[2])) << text;
        EXPECT_EQ(pattern.prefix_literal(), fields[3] == "-" ? "" : fields[3]) << text;
        EXPECT_EQ(pattern.anchored(), fields[4] == "yes") << text;
        ++count;
    }
    EXPECT_GE(count, 20);
}

TEST(RegexCompile, TheExtensionFilterHasAFirstByteSetOnItsGroup)
{
    const TPattern pattern("(?<=\\.)(?:jpg|png|gif|bmp|svg)(?=\\W|$)");
    EXPECT_EQ(pattern.prefix_literal(), "");
    EXPECT_NE(pattern.dump().find("group 1 invisible w=[3,3] first=[bgjps]"), std::string::npos);
    EXPECT_EQ(pattern.group_count(), 1u);
}

TEST(RegexCompile, RefusesNestingBeyondTheLimitCleanly)
{
    EXPECT_EQ(CompileError(std::string(100000, '(')), "parentheses nested too deeply");
    EXPECT_EQ(CompileError(std::string(100000, '(') + std::string(100000, ')')),
              "parentheses nested too deeply");
    // Nearly a thousand levels are fine: capturing and non-capturing groups, repeated, and look-aheads.
    std::string deep;
    for (int i = 0; i < 999; ++i) {
        deep += i % 3 == 0 ? "(?=" : (i % 3 == 1 ? "(" : "(?:");
    }
    deep += "a";
    for (int i = 998; i >= 0; --i) {
        deep += i % 3 == 0 ? ")" : "){1,2}";
    }
    EXPECT_EQ(CompileError(deep), "");
    // Long flat patterns do not recurse at all.
    std::string flat;
    for (int i = 0; i < 100000; ++i) {
        flat += "a?";
    }
    EXPECT_EQ(CompileError(flat), "");
    EXPECT_EQ(CompileError(std::string(200000, 'x')), "");
}

} // namespace
