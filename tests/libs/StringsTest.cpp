// ReplaceAll (with FindText, the search under it) and StoreAt, the string helpers of the page processors.
#include "libs/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct TReplaceCase {
    const char* Name;
    std::string Text;
    std::string Find;
    std::string Replace;
    std::string Expected;
};

} // namespace

TEST(ReplaceAll, ReplacesLeftToRightWithoutOverlapOrRescanning)
{
    const TReplaceCase cases[] = {
        {"two occurrences that could overlap", "aaaa", "aa", "b", "bb"},
        {"odd run leaves the tail", "aaa", "aa", "b", "ba"},
        {"no occurrence copies the text", "abcdef", "xy", "Z", "abcdef"},
        {"empty text", "", "a", "b", ""},
        {"replacement contains the search text", "a-a", "a", "aa", "aa-aa"},
        {"replacement recreates an occurrence across the seam", "aab", "ab", "b", "ab"},
        {"replacement by nothing", "<br><br>x<br>", "<br>", "", "x"},
        {"occurrence at both ends", "href=1.htm;1.htm", "1.htm", "2007_05_01.htm",
         "href=2007_05_01.htm;2007_05_01.htm"},
        {"partial occurrence at the end is not one", "abcab", "abc", "X", "Xab"},
        {"case sensitive", "Img img IMG", "img", "x", "Img x IMG"},
        {"windows-1251 bytes", "Популярная механика", "механика", "mechanics", "Популярная mechanics"},
        {"embedded zero bytes", std::string("a\0b\0a", 5), std::string("\0", 1), "_", "a_b_a"},
        {"occurrences beyond blocks of sixteen bytes",
         std::string(40, '<') + "<a" + std::string(17, 'a') + "<a>", "<a", "[",
         std::string(40, '<') + "[" + std::string(17, 'a') + "[>"},
        {"first and last bytes fit but not the middle", std::string(20, '-') + "backgr0und background",
         "background", "b", std::string(20, '-') + "backgr0und b"},
    };
    for (const TReplaceCase& c : cases) {
        std::string result = "previous content";
        ReplaceAll(c.Text, c.Find, c.Replace, result);
        EXPECT_EQ(result, c.Expected) << c.Name;
        // The search under the replacement, from every start.
        for (size_t from = 0; from <= c.Text.size() + 1; ++from)
            EXPECT_EQ(FindText(c.Text, from, c.Find), std::string_view(c.Text).find(c.Find, from)) << c.Name;
    }
}

TEST(ReplaceAll, LeavesTheTextUnchanged)
{
    const std::string text = "one two one";
    std::string result;
    ReplaceAll(text, "one", "three", result);
    EXPECT_EQ(text, "one two one");
    EXPECT_EQ(result, "three two three");
}

TEST(ReplaceAllDeathTest, EmptySearchTextIsAFatalCheck)
{
    std::string result;
    EXPECT_DEATH(ReplaceAll("abc", "", "x", result), "!Find.empty\\(\\)");
}

TEST(ReplaceAllDeathTest, ResultThatIsOneOfTheInputsIsAFatalCheck)
{
    std::string text = "abc";
    std::string find = "b";
    EXPECT_DEATH(ReplaceAll(text, find, "x", text), "&Result != &Text");
    EXPECT_DEATH(ReplaceAll(text, find, "x", find), "&Result != &Text");
}

TEST(StoreAt, FillsTheGapWithErrorPage)
{
    std::vector<std::string> list;
    StoreAt(list, 3, "2007_05_03.htm");
    EXPECT_EQ(list, (std::vector<std::string>{"error_page", "error_page", "error_page", "2007_05_03.htm"}));

    StoreAt(list, 1, "2007_05_01.htm");
    EXPECT_EQ(list,
              (std::vector<std::string>{"error_page", "2007_05_01.htm", "error_page", "2007_05_03.htm"}));

    StoreAt(list, 4, "2007_05_04.htm");
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(list[4], "2007_05_04.htm");
    EXPECT_EQ(list[3], "2007_05_03.htm");
}

TEST(StoreAt, ValueMayBeAnEntryOfTheListItself)
{
    // Growing the list moves its entries; the value must survive that.
    std::vector<std::string> list{"2007_05_00.htm"};
    list.shrink_to_fit();
    StoreAt(list, 1000, list[0]);
    ASSERT_EQ(list.size(), 1001u);
    EXPECT_EQ(list[1000], "2007_05_00.htm");
    EXPECT_EQ(list[0], "2007_05_00.htm");
    EXPECT_EQ(list[999], "error_page");
}
