// Matching semantics: what a search finds and what each record holds. Every case runs twice, with the
// fast paths and with the straightforward algorithm, which must agree.
#include "RegexTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using regex_test::Run;

struct TMatchCase {
    const char* Pattern;
    unsigned Flags;
    std::string Subject;
    const char* Expected; // see regex_test::Describe
};

void CheckTable(const TMatchCase* Cases, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        const TMatchCase& test = Cases[i];
        EXPECT_EQ(Run(test.Pattern, test.Flags, test.Subject, true), test.Expected)
            << "fast: /" << test.Pattern << "/ on \"" << test.Subject << "\"";
        EXPECT_EQ(Run(test.Pattern, test.Flags, test.Subject, false), test.Expected)
            << "reference: /" << test.Pattern << "/ on \"" << test.Subject << "\"";
    }
}

const unsigned S = regex::SINGLELINE;
const unsigned I = regex::NOCASE;
const unsigned M = regex::MULTILINE;

TEST(RegexMatch, AtomsAndAssertions)
{
    const TMatchCase cases[] = {
        {"", 0, "abc", "(0,0)"},
        {"", 0, "", "(0,0)"},
        {"abc", 0, "xxabcx", "(2,5)"},
        {"abcd", 0, "abc", "no"}, // shorter than the minimum width: nothing tried
        {"a.c", 0, "a\nc", "no"},
        {"a.c", S, "a\nc", "(0,3)"},
        {"a$", 0, "a\nb", "no"},
        {"a$", 0, "a\n", "(0,1)"},
        {"a$", 0, "a", "(0,1)"},
        {"a\\Z", 0, "a\n", "(0,1)"},
        {"a\\z", 0, "a\n", "no"},
        {"a$", M, "a\nb", "(0,1)"},
        {"^b", 0, "a\nb", "no"},
        {"^b", M, "a\nb", "(2,3)"},
        {"\\Ab", M, "a\nb", "no"},
        {"\\bx", 0, "x", "(0,1)"},
        {"\\bx", 0, "\xE0x", "(1,2)"}, // a Cyrillic letter before x is no word character
        {"\\bx", 0, "ax", "no"},
        {"\\Bx", 0, "ax", "(1,2)"},
        {"x\\b", 0, "x-", "(0,1)"},
        {"ABC", I, "xaBc", "(1,4)"},
        {"\xC0", I, "\xE0", "no"}, // only ASCII letters have case
        {"a\\Qb*\\Ec", 0, "ab*c", "(0,4)"},
        {"a{3", 0, "a{3", "(0,3)"},
        {"a{x}", 0, "a{x}", "(0,4)"},
        {"a{}", 0, "b", "(0,0)"},
        {"a{,3}", 0, "aaaa", "(0,3)"},
        {"a{2,}", 0, "aaaa", "(0,4)"},
        {"a{2}", 0, "a", "no"},
        {"\\x41\\cA", 0, "A\x01", "(0,2)"},
        {"a\\", 0, "a\\", "(0,2)"},
        {"x*", 0, std::string("\0x", 2), "(0,0)"}, // NUL is an ordinary byte
        {"\\0x", 0, std::string("\0x", 2), "(0,2)"},
        {"\\377", 0, "a\xFF", "(1,2)"}, // octal escapes reach the bytes from 0x80 up
        {"\\200", 0, "\x80", "(0,1)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, GreedyAndLazyRepetition)
{
    const TMatchCase cases[] = {
        {"a*", 0, "aaa", "(0,3)"},
        {"a*?", 0, "aaa", "(0,0)"},
        {"a+?", 0, "aaa", "(0,1)"},
        {"a??b", 0, "ab", "(0,2)"},
        {"a*ab", 0, "aaab", "(0,4)"},
        {"a{2,3}?a", 0, "aaaa", "(0,3)"},
        {"<.*>", 0, "<a><b>", "(0,6)"},
        {"<.*?>", 0, "<a><b>", "(0,3)"},
        {"([^/]+?/)", 0, "ab/cd/", "(0,3)(0,3)"},
        {"[^>]*?src", 0, "<img a=1 src=x>", "(0,12)"},
        {"\\s*\"", 0, "  \"", "(0,3)"},
        {"(a|ab)(c|bcd)(d*)", 0, "abcd", "(0,4)(0,1)(1,4)(4,4)"},
        {"(a+)(a+)", 0, "aaaa", "(0,4)(0,3)(3,4)"},
        {"(a+?)(a+)", 0, "aaaa", "(0,4)(0,1)(1,4)"},
        {"(ab)+", 0, "ababab", "(0,6)(4,6)"},
        {"(ab)+?", 0, "ababab", "(0,2)(0,2)"},
        {"(ab){2}", 0, "ababab", "(0,4)(2,4)"},
        {"(ab){2,}?c", 0, "abababc", "(0,7)(4,6)"},
        {"(a|b)+", 0, "ab", "(0,2)(1,2)"},
        {"(a|b)*?c", 0, "abc", "(0,3)(1,2)"},
        {"(?:a|b)*c", 0, "ababc", "(0,5)"},
        {"(a)*", 0, "aaaa", "(0,4)(3,4)"},
        {"(a)*", 0, "b", "(0,0)(-)"},
        {"(x)?y", 0, "y", "(0,1)(-)"},
        {"(a)*?b", 0, "aab", "(0,3)(1,2)"},
        {"(?:(a)|b)+", 0, "ab", "(0,2)(0,1)"}, // keeps the capture of an earlier iteration
        {"(?:(a)|(b))+", 0, "ab", "(0,2)(0,1)(1,2)"},
        {"(?:(a)|(b))+", 0, "ba", "(0,2)(1,2)(0,1)"},
        {"\\w+\\d", 0, "abc12x", "(0,5)"},
        {"(\\w+?)(\\d*)$", 0, "ab12", "(0,4)(0,2)(2,4)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, EmptyIterationsEndARepetition)
{
    const TMatchCase cases[] = {
        // One empty iteration is allowed; a second one in a row ends the repetition.
        {"(a?)*", 0, "b", "(0,0)(0,0)"},
        {"(a*)*b", 0, "aaab", "(0,4)(3,3)"},
        {"(a|)*b", 0, "aab", "(0,3)(2,2)"},
        {"(a*)+b", 0, "b", "(0,1)(0,0)"},
        {"(a*){3}b", 0, "b", "(0,1)(0,0)"}, // the empty rule does not check the lower bound
        {"(a*?)*?b", 0, "aab", "(0,3)(1,2)"},
        {"(?:a*)*", 0, "aaa", "(0,3)"},
        {"(?:x*)*y", 0, "xxz", "no"},
        {"(a|b|)+c", 0, "abc", "(0,3)(2,2)"}, // the empty alternative ran twice at 2
        // Where stopping after the first empty iteration would give other records. Here the first iteration
        // takes () at 0; the second, also empty at 0, ends the repetition; b fails at 0, so the second
        // iteration takes a instead, and the upper bound leaves b at 1: group 1 keeps (0,0). Stopping after
        // one empty iteration would take a first and () at 1: (1,1).
        {"(?:()|a){0,2}b", 0, "ab", "(0,2)(0,0)"},
        // The outer group's first iteration matches 1 (group 1 is unset while it runs, so \1 fails inside
        // it); its second is empty at 1, and \1 then fails against "1". The third, empty again, sees group 1
        // at (1,1): \1 matches empty and group 3 becomes (1,1); being the second empty iteration in a row, it
        // ends the repetition with its records kept. Stopping after one empty iteration leaves group 3 unset.
        {"((^.)*(\\b\\W?\\1|ca)*$)+", 0, "1", "(0,1)(1,1)(0,1)(1,1)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, CapturesAreRestoredOnBacktracking)
{
    const TMatchCase cases[] = {
        {"(a)b|ac", 0, "ac", "(0,2)(-)"},
        {"(a)(b)c|(a)bd", 0, "abd", "(0,3)(-)(-)(0,1)"},
        {"(?:(a)|b)(?:(c)|d)x|bdy", 0, "bdy", "(0,3)(-)(-)"},
        {"((a)|b)*x", 0, "abab", "no"},
        {"(a(b)?)+", 0, "aba", "(0,3)(2,3)(1,2)"},
        {"(a)(?=(b))|ac", 0, "ac", "(0,2)(-)(-)"},
        {"(?:(a)|b)*c", 0, "abac", "(0,4)(2,3)"},
        {"(a)|\\1b", 0, "b", "no"}, // a reference to an unmatched group fails
        {"(a)?\\1", 0, "b", "no"},
        {"(a*)\\1", 0, "b", "(0,0)(0,0)"}, // an empty capture matches without advancing
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, BackReferences)
{
    const TMatchCase cases[] = {
        {"(\\w+)\\s+\\1", 0, "hello hello", "(0,11)(0,5)"},
        {"(\\w+)\\s+\\1", 0, "hello HELLO", "no"},
        {"(\\w+)\\s+\\1", I, "hello HELLO", "(0,11)(0,5)"},
        {"(a)(?:b)(c)\\2", 0, "abcc", "(0,4)(0,1)(2,3)"},
        {"(a)(?:b)(c)\\2", 0, "abca", "no"},
        {"(a|b)\\1+", 0, "abbbc", "(1,4)(1,2)"},
        {"(a|b)\\1+?", 0, "abbbc", "(1,3)(1,2)"},
        {"(a|b)\\1{2}", 0, "abbbc", "(1,4)(1,2)"},
        {"(ab)\\1*c", 0, "abababc", "(0,7)(0,2)"},
        {"(ab)\\1*?c", 0, "abababc", "(0,7)(0,2)"},
        {"(a)\\1*?\\1b", 0, "aaab", "(0,4)(0,1)"},
        {"(x)?\\1*y", 0, "y", "(0,1)(-)"},
        {"()\\1*y", 0, "y", "(0,1)(0,0)"},
        // \NN from 10 up is a reference when NN is below the group counter (group 0 and invisible groups
        // counted): with 11 groups before it \11 names group 11, with 10 it is octal 011, a tab.
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)\\11", 0, "abcdefghijkk",
         "(0,12)(0,1)(1,2)(2,3)(3,4)(4,5)(5,6)(6,7)(7,8)(8,9)(9,10)(10,11)"},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\11", 0, "abcdefghij\t",
         "(0,11)(0,1)(1,2)(2,3)(3,4)(4,5)(5,6)(6,7)(7,8)(8,9)(9,10)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, LookAhead)
{
    const TMatchCase cases[] = {
        {"a(?=b)", 0, "acab", "(2,3)"},
        {"a(?!b)", 0, "abac", "(2,3)"},
        {"(?=(a+))a*b\\1", 0, "baaabac", "(3,6)(3,4)"}, // the body is never revisited
        {"(?=(\\w+))\\w", 0, "ab", "(0,1)(0,2)"},
        {"(?!(a))b", 0, "b", "(0,1)(-)"},
        {"(?=a|ab)(ab)", 0, "ab", "(0,2)(0,2)"},
        {"x(?=[\\s>])", 0, "x>", "(0,1)"},
        {"x(?=\\W|$)", 0, "x", "(0,1)"},
        {"x(?=\\W|$)", 0, "xy", "no"},
        {"(?=)a", 0, "a", "(0,1)"},
        {"a(?!)|b", 0, "ab", "(1,2)"}, // an empty negative look-ahead never holds
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, LookBehind)
{
    const TMatchCase cases[] = {
        {"(?<=\\s*\")[^\"]+", 0, "href = \"x\"", "(8,9)"},
        {"(?<=\\s*')[^']+", 0, "a='x y'", "(3,6)"},
        {"(?<==)[^\\s>\"']+(?=[\\s>])", 0, "<a href=abc>", "(8,11)"},
        {"(?<=\\.)(?:jpg|png|gif|bmp|svg)(?=\\W|$)", 0, "pic.jpg", "(4,7)"},
        {"(?<=\\.)(?:jpg|png|gif|bmp|svg)(?=\\W|$)", 0, "pic.jpg?x=1", "(4,7)"},
        {"(?<=\\.)(?:jpg|png|gif|bmp|svg)(?=\\W|$)", 0, "pic.jpgx", "no"},
        {"(?<=ab|b)c", 0, "xbc", "(2,3)"},
        {"(?<!ab|b)c", 0, "xbc", "no"},
        {"(?<!ab|b)c", 0, "xac", "(2,3)"},
        {"(?<=^|,)x", 0, "x,x", "(0,1)"},
        {"(?<=a)", 0, "", "no"},
        {"(?<!a)", 0, "", "(0,0)"},
        {"(?<=\\d{3})x", 0, "12x123x", "(6,7)"},
        {"(?<=a\\s*)b", 0, "a  b", "(3,4)"},
        {"(?<=\\b\\w+\\s)x", 0, "ab x", "(3,4)"},
        // Nested captures come from the first start (furthest back) that succeeds.
        {"(?<=(a+))b", 0, "aaab", "(3,4)(0,3)"},
        {"(?<=(a+?))b", 0, "aaab", "(3,4)(0,3)"},
        {"(?<=(a|aa))b", 0, "aab", "(2,3)(0,2)"},
        {"(?<=(\\w)(\\w*))c", 0, "abc", "(2,3)(0,1)(1,2)"},
        // A later start is tried when the rest fails after the first one.
        {"(?<=(a|ba))\\1", 0, "baa", "(2,3)(1,2)"},
        {"(?<=(\\w+))x\\1", 0, "abxb", "(2,4)(1,2)"},
        // Inside the body the subject ends at the look-behind.
        {"(?<=a$)", 0, "ab", "(1,1)"},
        {"(?<=a(?=b))b", 0, "ab", "no"}, // a look-ahead in the body cannot see past the look-behind
        {"(?<=a(?!b))b", 0, "ab", "(1,2)"},
        {"(?<=a\\z)b", 0, "ab", "(1,2)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, IndependentGroupsConditionalsAndRecursion)
{
    const TMatchCase cases[] = {
        {"(?>a+)b", 0, "aaab", "(0,4)"},
        {"(?>a+)a", 0, "aaaa", "no"},
        {"(?>a|ab)c", 0, "abc", "no"},
        {"(?>|a)b", 0, "ab", "(1,2)"},
        {"(?>(a)|b)+c", 0, "abc", "(0,3)(0,1)"},
        {"(?>x(a)|x)y", 0, "xz xay", "(3,6)(4,5)"},
        {"(a)?(?(1)b|c)", 0, "ab", "(0,2)(0,1)"},
        {"(a)?(?(1)b|c)", 0, "c", "(0,1)(-)"},
        {"(a)?(?(1)b)c", 0, "c", "(0,1)(-)"},
        {"(?(?=a)ab|cd)", 0, "cd", "(0,2)"},
        {"(?(?=a)ab|cd)", 0, "ab", "(0,2)"},
        {"(?(?!a)cd|ab)", 0, "ab", "(0,2)"},
        {"(?(?<=x)a|b)", 0, "xa", "(1,2)"},
        {"(?(?<=x)a|b)", 0, "ya", "no"},
        {"(?(?<!x)b)c", 0, "xc", "(1,2)"},
        {"(?(?=(a))ab|c)", 0, "ab", "(0,2)(0,1)"},
        {"^(a(?R)?b)$", 0, "aabb", "error: recursion sub-expression cannot be quantified"},
        {"a(?R)|b", 0, "aab", "(0,3)"},
        {"\\((?:[^()]|(?R))*\\)", 0, "x(a(b)c)", "(1,8)"},
        {"x(?:a(?R)|b)", 0, "xaxb", "(0,4)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, FlagsInsideThePattern)
{
    const TMatchCase cases[] = {
        {"x(?i:a)b", 0, "xAb", "(0,3)"},
        {"x(?i:a)b", 0, "xAB", "no"},
        {"(?i)ab", 0, "AB", "(0,2)"},
        {"(a(?i)b|c)d", 0, "CD", "no"},
        {"(a(?i)b|c)d", 0, "aBd", "(0,3)(0,2)"},
        {"(a(?i)b|c)d", 0, "Cd", "(0,2)(0,1)"}, // the change lasts to the end of the enclosing group
        {"(?s).", 0, "\n", "(0,1)"},
        {"(?-s).", S, "\n", "no"},
        {"(?m)^b", 0, "a\nb", "(2,3)"},
        {"(?x) a b # c\n c", 0, "abc", "(0,3)"},
        {"(?i-i:a)", 0, "A", "no"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, TheProgramsAttributeExtractor)
{
    const char* extractor =
        "<a[^>]*?href\\s*(?:=\\s*\"|=\\s*'|=)((?:(?<=\\s*\")[^\"]+(?=\"))|(?:(?<=\\s*')[^']+(?='))|"
        "(?:(?<==)[^\\s>\"']+(?=[\\s>])))[^>]*>";
    const TMatchCase cases[] = {
        {extractor, 0, "<a class=\"x\" href='y.htm'>", "(0,26)(19,24)"},
        {extractor, 0, "<a href = \"x y\">", "(0,16)(11,14)"},
        {extractor, 0, "<a href=z.htm title=t>", "(0,22)(8,13)"},
        {extractor, 0, "<a href=>", "no"},
        {extractor, 0, "<a name=q> <a\nhref=\"w\">", "(11,23)(20,21)"},
        {"(?:.+\\?)?(.+?\\.(?:jpg|png|gif|bmp|svg))(?=\\W|$)", 0, "/show.php?f=pic.png&x=1", "(0,19)(10,19)"},
        {"(?:.+\\?)?(.+?\\.(?:jpg|png|gif|bmp|svg))(?=\\W|$)", 0, "/img/a.gif", "(0,10)(0,10)"},
        {"^(?:http://)?([^/]+?/)", 0, "http://host.ru/a/b", "(0,15)(7,15)"},
        {"^(?:http://)?([^/]+?)(?=/|$)", 0, "host.ru", "(0,7)(0,7)"},
        {"<html.+?</head>", S, "x<html>\n<head></head></head>", "(1,21)"},
        {"(.*?<body>).*?(<h1>.*?)<div", S, "a<body>b<h1>c\n<div", "(0,18)(0,7)(8,14)"},
        {"(.*?<body>).*?(<h1>.*?)<div", S, "a<body>b<h2>c\n<div", "no"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, FromRight)
{
    const TMatchCase cases[] = {
        {"a.", regex::FROM_RIGHT, "a1a2a3", "(4,6)"},
        {"a*", regex::FROM_RIGHT, "aab", "(3,3)"},
        {"^a", regex::FROM_RIGHT, "aa", "(0,1)"}, // anchored: FROM_RIGHT is dropped
        {"x", regex::FROM_RIGHT, "abc", "no"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, GlobalSearchingAndItsEmptyMatchRule)
{
    using regex::COLLECT_GROUPS;
    using regex::COLLECT_MATCHES;
    using regex::GLOBAL;
    const TMatchCase cases[] = {
        {"a*", GLOBAL | COLLECT_MATCHES, "baa", "(0,0)(1,3)(3,3)"},
        {"a*", GLOBAL, "baa", "(3,3)"},
        {"(a)|b", GLOBAL | COLLECT_GROUPS, "ab", "(0,1)(0,1)(1,2)(-)"},
        {"(a)|b", GLOBAL, "ab", "(1,2)(-)"},
        {"x", GLOBAL | COLLECT_MATCHES, "abc", "no"},
        {"", GLOBAL | COLLECT_MATCHES, "ab", "(0,0)(1,1)(2,2)"},
        {"a|", GLOBAL | COLLECT_MATCHES, "ab", "(0,1)(1,1)(2,2)"},
        // Later searches still see the subject begin: ^ and look-behind look before the search start.
        {"^a", GLOBAL | COLLECT_MATCHES, "aa", "(0,1)"},
        {"(?<=a)b", GLOBAL | COLLECT_MATCHES, "abab", "(1,2)(3,4)"},
        {"\\bx", GLOBAL | COLLECT_MATCHES, "xx x", "(0,1)(3,4)"},
    };
    CheckTable(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(RegexMatch, RecordsAfterAFailedSearchAreAllUnmatched)
{
    const regex_test::TPattern pattern("(a)(?:b)(c)x");
    regex_test::TResults results;
    const std::string subject = "abcy";
    EXPECT_FALSE(pattern.match(subject.begin(), subject.end(), results));
    ASSERT_EQ(results.size(), 4u); // one per internal group, invisible ones included
    for (const auto& record : results) {
        EXPECT_FALSE(record.matched);
        EXPECT_EQ(record.str(), "");
        EXPECT_EQ(record.length(), 0u);
    }
    // The same object then holds a later match, compacted to the capturing groups.
    const std::string other = "abcx";
    EXPECT_TRUE(pattern.match(other.begin(), other.end(), results));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].str(), "abcx");
    EXPECT_EQ(results[1].str(), "a");
    EXPECT_EQ(results[2].str(), "c");
    EXPECT_EQ(results[2].length(), 1u);
}

TEST(RegexMatch, UnmatchedRecordsHoldDefaultIterators)
{
    const regex_test::TPattern pattern("(x)?y");
    regex_test::TResults results;
    const std::string subject = "y";
    ASSERT_TRUE(pattern.match(subject.begin(), subject.end(), results));
    EXPECT_FALSE(results[1].matched);
    EXPECT_TRUE(results[1].first == std::string::const_iterator());
    EXPECT_TRUE(results[1].second == std::string::const_iterator());
}

TEST(RegexMatch, ThePointerInstantiationBehavesTheSame)
{
    const regex_test::TCPattern pattern("(\\w+)@(\\w+)");
    regex_test::TCResults results;
    const char subject[] = "mail: joe@host!";
    ASSERT_TRUE(pattern.match(subject, subject + sizeof(subject) - 1, results));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].first - subject, 6);
    EXPECT_EQ(results[1].str(), "joe");
    EXPECT_EQ(results[2].str(), "host");
    // The C-string form stops at the NUL byte; the bounded form takes NUL as an ordinary byte.
    const char withNul[] = "ab\0ab";
    const regex_test::TCPattern tail("b$");
    EXPECT_TRUE(tail.match(withNul, results));
    EXPECT_EQ(results[0].first - withNul, 1);
    EXPECT_TRUE(tail.match(withNul, withNul + 5, results));
    EXPECT_EQ(results[0].first - withNul, 4);
    const regex_test::TCPattern rightmost("a", regex::FROM_RIGHT);
    EXPECT_TRUE(rightmost.match(withNul, withNul + 5, results));
    EXPECT_EQ(results[0].first - withNul, 3);
    EXPECT_TRUE(rightmost.match("aa", results)); // FROM_RIGHT is not used on C strings
    EXPECT_EQ(results[0].first, results[0].second - 1);
    // An empty range.
    EXPECT_TRUE(regex_test::TCPattern("x*").match(subject, subject, results));
    EXPECT_EQ(results[0].first, subject);
}

TEST(RegexMatch, OnePatternServesManySearches)
{
    const regex_test::TPattern pattern("<(\\w+)>");
    const std::string first = "x<b>y";
    const std::string second = "<table>";
    regex_test::TResults results;
    ASSERT_TRUE(pattern.match(first.begin(), first.end(), results));
    EXPECT_EQ(results[1].str(), "b");
    ASSERT_TRUE(pattern.match(second.begin(), second.end(), results));
    EXPECT_EQ(results[1].str(), "table");
    const regex_test::TPattern copy = pattern;
    ASSERT_TRUE(copy.match(first.begin(), first.end(), results));
    EXPECT_EQ(results[1].str(), "b");
}

} // namespace
