// The description of a magazine: the shipped ones are read, and each kind of mistake in a file is refused
// with its line and column and what was expected there.
#include "magazine/Description.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "magazine/Catalogue.h"
#include "support/AplFailure.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace {

/// A description that is right in every key; each case below changes one line of it.
const char kGood[] = "[magazine]\n"                                                           // 1
                     "name = \"Journal\"\n"                                                   // 2
                     "hosts = [\"journal.test\", \"*.journal.test\"]\n"                       // 3
                     "language = \"en\"\n"                                                    // 4
                     "[issue]\n"                                                              // 5
                     "page = { pattern = '<h1>(\\w+) (\\d{4})</h1>', month = 1, year = 2 }\n" // 6
                     "[contents]\n"                                                           // 7
                     "articles = \"main .toc a.story\"\n"                                     // 8
                     "cover = \"meta[property='og:image']@content\"\n"                        // 9
                     "[article]\n"                                                            // 10
                     "keep = [\"article h1\", \"article .body\"]\n"                           // 11
                     "remove = [\".share\"]\n"                                                // 12
                     "next = \"a.next-page\"\n"                                               // 13
                     "[pictures]\n"                                                           // 14
                     "attributes = [\"data-src\", \"src\"]\n";                                // 15

std::string WriteDescription(const TestSupport::TTempDir& Dir, const std::string& Text)
{
    const std::string file = Dir / "journal.toml";
    std::ofstream(file, std::ios::binary) << Text;
    return file;
}

TEST(DescriptionTest, ReadsEveryKeyOfAGoodFile)
{
    const TestSupport::TTempDir dir;
    const auto description = Magazine::ReadDescription(WriteDescription(dir, kGood));
    EXPECT_EQ(description->Name, "Journal");
    EXPECT_EQ(description->Language, "en");
    EXPECT_FALSE(description->Issue.FromAddress);
    EXPECT_EQ(description->Issue.Month, 1u);
    EXPECT_EQ(description->Issue.Year, 2u);
    EXPECT_EQ(description->Cover.Attribute, "content");
    EXPECT_EQ(description->Keep.size(), 2u);
    EXPECT_TRUE(description->HasNext);
    EXPECT_FALSE(description->HasAddress);
    EXPECT_EQ(description->PictureAttributes, (std::vector<std::string>{"data-src", "src"}));
    EXPECT_TRUE(Magazine::ServesHost(*description, "journal.test"));
    EXPECT_TRUE(Magazine::ServesHost(*description, "www.journal.test"));
    EXPECT_FALSE(Magazine::ServesHost(*description, "xjournal.test"));
    EXPECT_FALSE(Magazine::ServesHost(*description, "journal.test.example"));
}

TEST(DescriptionTest, AFileThatCannotBeReadIsNamed)
{
    const std::string failure =
        TestSupport::FailureOf([] { Magazine::ReadDescription("/nonexistent/journal.toml"); });
    EXPECT_EQ(failure.rfind("/nonexistent/journal.toml: a readable description file", 0), 0u) << failure;
}

TEST(DescriptionTest, ReadsTheShippedDescriptionsInWindows1251)
{
    const auto today = Magazine::ReadDescription(SKERROW_SOURCE_DIR "/magazines/today.toml");
    EXPECT_EQ(today->Name, "Сегодня");
    EXPECT_TRUE(today->HasNext);
    const auto print = Magazine::ReadDescription(SKERROW_SOURCE_DIR "/magazines/today_print.toml");
    EXPECT_TRUE(print->HasAddress);
    EXPECT_TRUE(print->Issue.FromAddress);
    EXPECT_EQ(print->Issue.Year, 1u);
}

struct TErrorCase {
    const char* Name;
    const char* Line;        ///< the line of kGood replaced (its text up to the line end)
    const char* Replacement; ///< what stands there instead
    const char* Expected;    ///< "LINE:COLUMN: " and the start of what was expected
};

class DescriptionErrorTest : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(DescriptionErrorTest, NamesLineColumnAndWhatWasExpected)
{
    const TErrorCase& test = GetParam();
    std::string text = kGood;
    const size_t at = text.find(test.Line);
    ASSERT_NE(at, std::string::npos) << test.Line;
    text.replace(at, std::string(test.Line).size(), test.Replacement);
    const TestSupport::TTempDir dir;
    const std::string file = WriteDescription(dir, text);
    const std::string failure = TestSupport::FailureOf([&file] { Magazine::ReadDescription(file); });
    EXPECT_EQ(failure.compare(0, file.size() + 1, file + ":"), 0) << failure;
    EXPECT_NE(failure.find(std::string(":") + test.Expected), std::string::npos) << failure;
}

const TErrorCase kErrorCases[] = {
    {"UnknownKey", "name = \"Journal\"", "nmae = \"Journal\"", "2:1: unknown key nmae in [magazine]"},
    {"UnknownTable", "[pictures]", "[picture]", "14:2: unknown key picture in the description"},
    {"WrongType", "language = \"en\"", "language = 7", "4:12: a string at magazine.language"},
    {"StringInList", "remove = [\".share\"]", "remove = [\".share\", 3]",
     "12:21: a string in the list article.remove"},
    {"NotToml", "name = \"Journal\"", "name = \"Journal", "2:"},
    {"MisspelledTable", "[contents]", "[kontents]", "7:2: unknown key kontents"},
    {"MissingTable",
     "[article]\nkeep = [\"article h1\", \"article .body\"]\nremove = [\".share\"]\nnext = \"a.next-page\"\n",
     "", "1:1: a table [article]"},
    {"MissingKey", "keep = [\"article h1\", \"article .body\"]", "", "10:1: a list of strings article.keep"},
    {"GroupNotNumber", "month = 1, year = 2", "month = \"1\", year = 2", "6:54: a group number"},
    {"BothIssueRules", "[contents]", "address = { pattern = 'x', month = 1, year = 2 }\n[contents]",
     "5:1: one of issue.page and issue.address"},
    {"BadPattern", "'<h1>(\\w+) (\\d{4})</h1>'", "'<h1>(\\w+ (\\d{4})</h1>'", "6:20: a regular expression"},
    {"BadSelector", "\"main .toc a.story\"", "\"main .toc a.[story\"", "8:25: a class name in the selector"},
    {"BadAttributeTest", "\"main .toc a.story\"", "\"main a[href|=x]\"", "8:24: ']', '=', '~=' or '^='"},
    {"BadPseudoClass", "\"main .toc a.story\"", "\"main a:hover\"", "8:20: first-of-type or nth-of-type(n)"},
    {"EmptyAttributeAfterAt", "@content\"", "@\"", "9:"},
    {"BadHost", "\"*.journal.test\"", "\"journal.*.test\"", "3:26: a host name or *.domain"},
};

INSTANTIATE_TEST_SUITE_P(Descriptions, DescriptionErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const ::testing::TestParamInfo<TErrorCase>& Info) { return Info.param.Name; });

TEST(DescriptionTest, LooksUpTheUsersDescriptionsBeforeTheInstalledOnes)
{
    const TestSupport::TTempDir dir;
    const std::string magazines = dir / "skerrow/magazines";
    ASSERT_EQ(TestSupport::RunProcess({"/bin/mkdir", "-p", magazines}).ExitStatus, 0);
    std::ofstream(magazines + "/journal.toml", std::ios::binary) << kGood;
    const TestSupport::TEnvironmentVariable config("XDG_CONFIG_HOME", dir.Path());
    EXPECT_EQ(Magazine::DescriptionDirectories().front(), magazines);
    EXPECT_NE(Magazine::ContentsTask("https://www.journal.test/issue/", dir.Path(), ""), nullptr);
    EXPECT_EQ(Magazine::ContentsTask("https://other.test/issue/", dir.Path(), ""), nullptr);
    // The installed descriptions serve the sample magazine of today.
    EXPECT_NE(Magazine::ContentsTask("http://today.test/issues/2026-11/", dir.Path(), ""), nullptr);
}

} // namespace
