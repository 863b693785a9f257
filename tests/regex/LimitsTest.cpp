// Deep nesting and long subjects: nothing overflows the machine stack, long repetitions end with the
// right result, and the search limits end a search cleanly as "no match" with limit_reached().
#include "RegexTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using regex_test::Describe;
using regex_test::TPattern;
using regex_test::TResults;

std::string Search(const TPattern& Pattern, const std::string& Subject, const regex::match_options& Options)
{
    TResults results;
    const bool found = Pattern.match(Subject.begin(), Subject.end(), results, Options);
    return Describe(found, results, Subject);
}

TEST(RegexLimits, RepeatedCaptureOverTenMegabytes)
{
    const std::string subject(10 << 20, 'a');
    const TPattern pattern("(a)*");
    EXPECT_EQ(Search(pattern, subject, regex::match_options()),
              "(0," + std::to_string(subject.size()) + ")(" + std::to_string(subject.size() - 1) + "," +
                  std::to_string(subject.size()) + ")");
}

TEST(RegexLimits, RepeatedAlternationOverOneMegabyte)
{
    std::string subject;
    for (int i = 0; i < (1 << 19); ++i) {
        subject += (i % 3) ? "a" : "b";
        subject += "b";
    }
    const TPattern pattern("(?:a|b)*c");
    EXPECT_EQ(Search(pattern, subject + "c", regex::match_options()),
              "(0," + std::to_string(subject.size() + 1) + ")");
    // Without a 'c' no start can match: the byte every match needs is looked for once.
    const TPattern withCapture("(a|b)*c");
    EXPECT_EQ(Search(withCapture, subject, regex::match_options()), "no");
    EXPECT_EQ(Search(withCapture, "c" + subject, regex::match_options()), "(0,1)(-)");
}

TEST(RegexLimits, GeneralGroupRepetitionRunsOnTheHeap)
{
    // Two-byte alternatives take the general path: one choice point per iteration, on the heap stack.
    std::string subject;
    for (int i = 0; i < 250000; ++i) {
        subject += (i % 2) ? "ab" : "cd";
    }
    const TPattern pattern("(ab|cd)*e");
    const std::string size = std::to_string(subject.size());
    EXPECT_EQ(Search(pattern, subject + "e", regex::match_options()),
              "(0," + std::to_string(subject.size() + 1) + ")(" + std::to_string(subject.size() - 2) + "," +
                  size + ")");
    // The straightforward algorithm (no set-like shortcut for (a)*) works the same way on a long subject.
    regex::match_options plain;
    plain.fast_paths = false;
    const std::string as(200000, 'a');
    EXPECT_EQ(Search(TPattern("(a)*"), as, plain), "(0,200000)(199999,200000)");
}

TEST(RegexLimits, TheStackLimitEndsTheSearchAsNoMatch)
{
    std::string subject;
    for (int i = 0; i < 100000; ++i) {
        subject += "ab";
    }
    regex::match_options small;
    small.stack_limit = 64 << 10;
    TResults results;
    const TPattern pattern("(?:ab|cd)*$");
    EXPECT_FALSE(pattern.match(subject.begin(), subject.end(), results, small));
    EXPECT_TRUE(results.limit_reached());
    for (const auto& record : results) {
        EXPECT_FALSE(record.matched);
    }
    // The same search with the default limit succeeds, and the same results object is usable again.
    EXPECT_TRUE(pattern.match(subject.begin(), subject.end(), results));
    EXPECT_FALSE(results.limit_reached());
    EXPECT_EQ(results[0].length(), subject.size());
}

TEST(RegexLimits, TheStepLimitEndsCatastrophicBacktracking)
{
    const std::string subject = std::string(40, 'a') + "b";
    regex::match_options options;
    options.step_limit = 100000;
    EXPECT_EQ(Search(TPattern("(a+)+$"), subject, options), "limit");
    EXPECT_EQ(Search(TPattern("(a+)+b"), subject, options), "(0,41)(0,40)");
    // The backtracking budget, on by default, ends it the same way.
    EXPECT_EQ(regex::match_options().backtrack_limit, regex::default_backtrack_limit);
    regex::match_options budget;
    budget.backtrack_limit = 100000;
    EXPECT_EQ(Search(TPattern("(a+)+$"), subject, budget), "limit");
    EXPECT_EQ(Search(TPattern("(a+)+b"), subject, budget), "(0,41)(0,40)");
}

TEST(RegexLimits, ARestWithoutTheByteEveryMatchNeedsEndsTheSearch)
{
    // Matches, then a long rest of unclosed tags: each search of the scan finds the next match, and the
    // last one ends where no '>' is left (looked for once, not from every "<img").
    std::string subject;
    for (int i = 0; i < 100; ++i) {
        subject += "<img src=" + std::to_string(i) + ">";
    }
    const size_t matches = subject.size();
    for (int i = 0; i < 200000; ++i) {
        subject += "<img ";
    }
    const TPattern pattern("<img[^>]*?src=([^>]*)>");
    TResults results;
    size_t count = 0;
    for (auto from = subject.cbegin(); pattern.match(from, subject.cend(), results);
         from = results[0].second) {
        ++count;
    }
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(Search(pattern, subject.substr(matches - 12), regex::match_options()), "(0,12)(9,11)");
    EXPECT_EQ(Search(pattern, subject.substr(matches), regex::match_options()), "no");
}

TEST(RegexLimits, DeeplyNestedPatternsMatchWithoutRecursion)
{
    std::string pattern;
    std::string expected = "(0,1)";
    for (int i = 0; i < 990; ++i) {
        pattern += (i % 2) ? "(?:" : "(";
        if (i % 2 == 0) {
            expected += "(0,1)";
        }
    }
    pattern += "a";
    for (int i = 0; i < 990; ++i) {
        pattern += ")";
    }
    EXPECT_EQ(regex_test::Run(pattern, 0, "a", true), expected);
    EXPECT_EQ(regex_test::Run(pattern, 0, "a", false), expected);
    // Nested look-aheads, and nested repetitions.
    std::string lookaheads;
    std::string repeats;
    for (int i = 0; i < 500; ++i) {
        lookaheads += (i % 2) ? "(?=" : "(";
        repeats += "(?:";
    }
    lookaheads += "a";
    repeats += "a";
    for (int i = 0; i < 500; ++i) {
        lookaheads += ")";
        repeats += ")+";
    }
    EXPECT_EQ(regex_test::Run(lookaheads, 0, "ab", true).substr(0, 10), "(0,0)(0,0)");
    EXPECT_EQ(regex_test::Run(lookaheads, 0, "ab", false).substr(0, 10), "(0,0)(0,0)");
    EXPECT_EQ(regex_test::Run(repeats, 0, "aaab", true), "(0,3)");
    EXPECT_EQ(regex_test::Run(repeats, 0, "aaab", false), "(0,3)");
}

TEST(RegexLimits, DeepRecursionRunsOnTheHeap)
{
    // Recursion depth costs heap, not machine stack (and time that grows with the square of the depth).
    const std::string subject = std::string(5000, '(') + std::string(5000, ')');
    EXPECT_EQ(regex_test::Run("\\((?:[^()]|(?R))*\\)", 0, subject), "(0,10000)");
}

TEST(RegexLimits, LookBehindStaysCheapFarFromTheSubjectBegin)
{
    // Every position of a long subject evaluates (?<=\s*"): the body reduces to (?<=") and costs a
    // byte test. The straightforward form would try every start from the subject begin.
    std::string subject;
    for (int i = 0; i < 20000; ++i) {
        subject += "<a href = \"x\" class='y'>";
    }
    const TPattern pattern("(?<=\\s*\")[^\"]+(?=\")x");
    EXPECT_EQ(Search(pattern, subject, regex::match_options()), "no");
    const TPattern found("(?<=\\s*')[^']+(?=')'>$");
    EXPECT_EQ(Search(found, subject, regex::match_options()),
              "(" + std::to_string(subject.size() - 3) + "," + std::to_string(subject.size()) + ")");
}

TEST(RegexLimits, LeadingLazyDotStopsAfterTheFirstStart)
{
    // Site B's article pattern on a page where it fails: one pass, not one per start position.
    std::string page;
    for (int i = 0; i < 100000; ++i) {
        page += "<p>text</p>\n";
    }
    regex::match_options options;
    options.step_limit = 2000000;
    EXPECT_EQ(Search(TPattern("(.*?<body>).*?(<h1>.*?)<div", regex::SINGLELINE), page, options), "no");
}

TEST(RegexLimits, RepeatedAlternationFailsInLinearTime)
{
    // Each start position would run through the rest of the a/b run before failing at "x"; the failure
    // memo of the repetition fails every later start in that run at once.
    std::string subject;
    for (int i = 0; i < 200000; ++i) {
        subject += "ab";
    }
    subject += "xc";
    regex::match_options options;
    options.step_limit = 2000000;
    EXPECT_EQ(Search(TPattern("(?:a|b)*c"), subject, options), "(400001,400002)");
    EXPECT_EQ(Search(TPattern("(?:a|b)*c", regex::NOCASE), subject.substr(0, 400001), options), "no");
    EXPECT_EQ(Search(TPattern("[ab]+?\\d"), subject, options), "no");
}

// Site B's title pattern, and a contents page with its zone, Count pictures and rows, and a heading whose
// year is followed by YearEnd.
const char kTitlePattern[] =
    "<div[^>]*?class\\s*(?:=\\s*\"|=\\s*'|=)(?:(?:(?<=\\s*\")content_zone(?=\"))|(?:(?<=\\s*')content_zone(?="
    "'))|"
    "(?:(?<==)content_zone(?=[\\s>])))[^>]*>.*?(<img.*?/>).*?(<h1>[^<]*?([\\xC0-\\xFF]+?)\\s(\\d{4})</"
    "h1>)(.*)?"
    "(?=<div[^>]*?class\\s*(?:=\\s*\"|=\\s*'|=)(?:(?:(?<=\\s*\")content(?=\"))|(?:(?<=\\s*')content(?='))|"
    "(?:(?<==)content(?=[\\s>])))[^>]*>)";

std::string ContentsPage(int Count, const std::string& YearEnd)
{
    std::string page =
        "<html><body>\n<div class=\"content_zone\">\n<img src=\"/cover.jpg\" />\n<h1>Июль 2007" + YearEnd +
        "</h1>\n<table>\n";
    for (int i = 0; i < Count; ++i) {
        page += "<tr><td><a href=\"/a/" + std::to_string(i) + ".htm\"><img src=\"/p/" + std::to_string(i) +
                ".jpg\" border=0 /></a></td><td>статья " + std::to_string(i) + "</td></tr>\n";
    }
    return page + "</table>\n<div class='content'>x</div>\n</div>\n</body></html>\n";
}

TEST(RegexLimits, TitlePatternFailsInLinearTimeOnAPageWithManyPictures)
{
    // The heading's year is followed by a blank, so the pattern cannot match; without the failure memo of
    // its lazy dots every picture and every "/>" after it would rescan the rest of the page.
    const TPattern pattern(kTitlePattern, regex::SINGLELINE);
    regex::match_options options;
    options.step_limit = 3000000;
    EXPECT_EQ(Search(pattern, ContentsPage(3000, " "), options), "no");

    // Small pages: the same outcome and captures as the straightforward search.
    regex::match_options plain;
    plain.fast_paths = false;
    for (const char* yearEnd : {"", " ", "x"}) {
        for (int count : {0, 1, 5, 30}) {
            const std::string page = ContentsPage(count, yearEnd);
            const std::string fast = Search(pattern, page, regex::match_options());
            EXPECT_EQ(fast, Search(pattern, page, plain))
                << count << " pictures, year then '" << yearEnd << "'";
            EXPECT_EQ(fast == "no", *yearEnd != 0) << count << " pictures, year then '" << yearEnd << "'";
        }
    }
}

} // namespace
