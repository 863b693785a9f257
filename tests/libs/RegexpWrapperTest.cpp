// The regular-expression wrapper: raising and quiet searches, the scanner, sequence searches.
#include "libs/RegexpWrapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/Exceptions.h"

namespace {

/// The application exception that Call raises; fails the test when it raises none.
template <typename TCall> BrintLib::TAplThrowException CaughtApl(TCall Call)
{
    try {
        Call();
    } catch (const BrintLib::TAplThrowException& e) {
        return e;
    }
    ADD_FAILURE() << "no application exception";
    return BrintLib::TAplThrowException("", "", 0);
}

std::string SearchError(const std::string& Pattern, const std::string& Text)
{
    return "Ошибка при поиске шаблона: \"" + Pattern + "\" в строке \"" + Text + "\"";
}

std::string Text(TTextIterator First, TTextIterator Last)
{
    return std::string(First, Last);
}

} // namespace

TEST(TRegexp, SearchFindsAndGivesTheGroups)
{
    TRegexp pattern(R"(<b>([^\s]+)\s+([^<]+)</b>(x)?)", 0);
    EXPECT_EQ(pattern.Size(), 0u);
    const std::string page = "<p><b>Май 2007</b></p>";
    ASSERT_TRUE(pattern.Search(page));
    ASSERT_EQ(pattern.Size(), 4u);
    EXPECT_EQ(pattern[0].str(), "<b>Май 2007</b>");
    EXPECT_EQ(pattern[0].first, page.begin() + 3);
    EXPECT_EQ(pattern[1].str(), "Май");
    EXPECT_EQ(pattern[2].str(), "2007");
    EXPECT_FALSE(pattern[3].matched);
    EXPECT_EQ(pattern[3].str(), "");
}

TEST(TRegexpDeathTest, ReadingARecordTheSearchDoesNotHaveIsAFatalCheck)
{
    TRegexp pattern("a(b)", 0);
    const std::string text = "xab";
    ASSERT_TRUE(pattern.Search(text));
    EXPECT_EQ(pattern.Size(), 2u);
    EXPECT_EQ(pattern[1].str(), "b");
    EXPECT_DEATH(pattern[2], "i < Size\\(\\)");
    TRegexp unused("a", 0);
    EXPECT_DEATH(unused[0], "i < Size\\(\\)");
}

TEST(TRegexp, SearchThatFindsNothingRaisesWithPatternAndWholeText)
{
    TRegexp pattern("<noindex>", 0);
    const std::string page = "<html>\n<body>Страница без блока</body>\n</html>";
    const BrintLib::TAplThrowException error = CaughtApl([&] { pattern.Search(page); });
    EXPECT_EQ(std::string(error.what()), SearchError("<noindex>", page));
    EXPECT_EQ(std::string(error.GetFile()), "src/libs/RegexpWrapper.cpp");

    EXPECT_FALSE(pattern.Find(page));
    ASSERT_GE(pattern.Size(), 1u);
    EXPECT_FALSE(pattern[0].matched);

    // A long text is quoted by its first 300 bytes and its length; the pattern stays whole.
    const std::string head = "<html>" + std::string(294, 'x');
    for (const size_t length : {size_t{300}, size_t{301}, size_t{2} << 20}) {
        const std::string text = head + std::string(length - head.size(), 'y');
        const std::string message = CaughtApl([&] { pattern.Search(text); }).what();
        EXPECT_EQ(message, length == 300 ? SearchError("<noindex>", text)
                                         : "Ошибка при поиске шаблона: \"<noindex>\" в строке \"" + head +
                                               "...\" (" + std::to_string(length) + " байт)");
        EXPECT_LE(message.size(), 400u);
    }
}

TEST(TRegexp, ASearchThatRunsOutOfTheBacktrackingBudgetIsTheSearchError)
{
    // Every start tries the ways of writing the a's as a and aa: far more than the engine's budget.
    TRegexp pattern("(?:a|aa)*c", 0);
    const std::string text = std::string(60, 'a') + "b c";
    EXPECT_EQ(std::string(CaughtApl([&] { pattern.Find(text); }).what()), SearchError("(?:a|aa)*c", text));
}

TEST(TRegexp, RangeIsTheWholeSubject)
{
    const std::string text = "xab=c";
    TRegexp anchored("^ab", 0);
    EXPECT_TRUE(anchored.Find(text.begin() + 1, text.end()));
    EXPECT_FALSE(anchored.Find(text));
    // Look-behind sees nothing before the range's begin.
    TRegexp behind("(?<==)c", 0);
    EXPECT_TRUE(behind.Find(text));
    EXPECT_FALSE(behind.Find(text.begin() + 4, text.end()));
    // Nor does a search see past the range's end.
    TRegexp tail("b=c", 0);
    EXPECT_FALSE(tail.Find(text.begin(), text.end() - 1));
    const BrintLib::TAplThrowException error =
        CaughtApl([&] { tail.Search(text.begin() + 1, text.end() - 1); });
    EXPECT_EQ(std::string(error.what()), SearchError("b=c", "ab="));
}

TEST(TRegexp, SingleLineFlagLetsTheDotMatchALineFeed)
{
    const std::string text = "<td>\n</table>";
    TRegexp plain("<td>.+?</table>", 0);
    TRegexp singleLine("<td>.+?</table>", regex::SINGLELINE);
    EXPECT_FALSE(plain.Find(text));
    EXPECT_TRUE(singleLine.Find(text));
}

TEST(TRegexp, MalformedPatternRaisesThePatternError)
{
    EXPECT_THROW(TRegexp("(unclosed", 0), regex::bad_regexpr);
}

TEST(TRegexpScanner, SearchScanEndsQuietlyAfterTheLastMatch)
{
    TRegexp link(R"re(<a href="([^"]+)">)re", 0);
    const std::string page = R"re(A<a href="1.htm">B<a href="2.htm">C<a href="3.htm">D)re";
    TRegexpScanner scanner(page);
    std::vector<std::string> hrefs;
    std::string between;
    while (scanner.Search(link)) {
        between += Text(scanner.Previous(), link[0].first) + "|";
        hrefs.push_back(link[1].str());
    }
    between += Text(scanner.Previous(), scanner.End());
    EXPECT_EQ(hrefs, (std::vector<std::string>{"1.htm", "2.htm", "3.htm"}));
    EXPECT_EQ(between, "A|B|C|D");
}

TEST(TRegexpScanner, SearchScanThatNeverMatchedRaises)
{
    TRegexp link(R"re(<a href="([^"]+)">)re", 0);
    const std::string page = "<p>Нет ссылок</p>";
    TRegexpScanner scanner(page.begin() + 3, page.end());
    const BrintLib::TAplThrowException error = CaughtApl([&] { scanner.Search(link); });
    EXPECT_EQ(std::string(error.what()), SearchError(R"re(<a href="([^"]+)">)re", "Нет ссылок</p>"));
}

TEST(TRegexpScanner, FindScanWithoutAnyMatchEndsQuietly)
{
    TRegexp link("<a>", 0);
    const std::string page = "no links";
    TRegexpScanner scanner(page);
    EXPECT_FALSE(scanner.Find(link));
    EXPECT_EQ(Text(scanner.Previous(), scanner.End()), "no links");
}

TEST(TRegexpScanner, EmptyTextAndEmptyRange)
{
    TRegexp any(".", 0);
    const std::string empty;
    TRegexpScanner scanner(empty);
    EXPECT_FALSE(scanner.Find(any));
    const std::string text = "abc";
    TRegexpScanner emptyRange(text.begin() + 1, text.begin() + 1);
    EXPECT_THROW(emptyRange.Search(any), BrintLib::TAplThrowException);
}

TEST(TRegexpScannerDeathTest, ReversedRangeIsAFatalCheck)
{
    const std::string text = "abc";
    EXPECT_DEATH(TRegexpScanner(text.end(), text.begin()), "B <= E");
}

TEST(TRegexpScanner, SequenceFindContinuesAfterTheWholeSequence)
{
    static TRegexp cell[3] = {{R"re(<td background="([^"]+)">)re", 0}, {"<a [^>]*>", 0}, {"</table>", 0}};
    const std::string page = "0<td background=\"1.jpg\">x<a href=a>y</table>1<td background=\"2.jpg\"><a >"
                             "</table>2<td background=\"3.jpg\"><a href=b>";
    TRegexpScanner scanner(page);
    std::string rebuilt;
    std::vector<std::string> pictures;
    while (scanner.Find(cell)) {
        rebuilt += Text(scanner.Previous(), cell[0][0].first) + "[" + cell[1][0].str() + "]";
        pictures.push_back(cell[0][1].str());
        EXPECT_EQ(scanner.Current(), cell[2][0].second);
    }
    // The third cell has no closing table: the sequence fails and the previous position goes back to
    // where it began, so the rest of the page is kept whole.
    rebuilt += Text(scanner.Previous(), scanner.End());
    EXPECT_EQ(pictures, (std::vector<std::string>{"1.jpg", "2.jpg"}));
    EXPECT_EQ(rebuilt, "0[<a href=a>]1[<a >]2<td background=\"3.jpg\"><a href=b>");
}

TEST(SearchSequence, NamesThePatternThatFailedAndTheTextFromWhereItsSearchStarted)
{
    TRegexp patterns[4] = {{"<td class=main>", 0}, {"<table>", 0}, {"<b>([^<]+)</b>", 0}, {"<noindex>", 0}};
    // The third pattern occurs only before the second's match.
    const std::string page = "<b>рано</b><td class=main>текст<table>после таблицы<noindex>";
    const BrintLib::TAplThrowException error = CaughtApl([&] { SearchSequence(patterns, page); });
    EXPECT_EQ(std::string(error.what()), SearchError("<b>([^<]+)</b>", "после таблицы<noindex>"));
    EXPECT_FALSE(FindSequence(patterns, page));

    const std::string complete = "<td class=main>текст<table><b>Май 2007</b>x<noindex>";
    ASSERT_TRUE(SearchSequence(patterns, complete));
    EXPECT_EQ(patterns[2][1].str(), "Май 2007");
    EXPECT_EQ(Text(patterns[1][0].second, patterns[2][0].first), "");
    EXPECT_EQ(Text(patterns[2][0].second, patterns[3][0].first), "x");
}

TEST(FindSequence, EachPatternStartsAtTheEndOfThePreviousMatch)
{
    TRegexp patterns[2] = {{"a(b)", 0}, {"(?<=b)c|d", 0}};
    // The look-behind of the second pattern cannot see the b that ends the first match.
    const std::string text = "abcd";
    ASSERT_TRUE(FindSequence(patterns, text));
    EXPECT_EQ(patterns[1][0].str(), "d");
    const std::string shorter = "abc";
    EXPECT_FALSE(FindSequence(patterns, shorter));
}
