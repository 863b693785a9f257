// The processors of a described magazine, run in this process: a table of small pages through what an
// article keeps, the contents page fed to its task by hand, and a long article's pages joined.
#include "magazine/Processors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Generic_Parser.h"
#include "Logic.h"
#include "RunState.h"
#include "libs/FileSystem.h"
#include "libs/Url.h"
#include "magazine/ArticlePage.h"
#include "support/AplFailure.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace {

const char kHead[] = "[magazine]\nname = \"J\"\nhosts = [\"m.test\"]\n"
                     "[issue]\naddress = { pattern = '/(\\d{4})-(\\d\\d)/', year = 1, month = 2 }\n";

/// A description of the head above and Rest ([contents], [article], [pictures]), read from a file.
std::shared_ptr<const Magazine::TDescription> Describe(const std::string& Rest)
{
    const TestSupport::TTempDir dir;
    const std::string file = dir / "m.toml";
    std::ofstream(file, std::ios::binary) << kHead << Rest;
    return Magazine::ReadDescription(file);
}

struct TKeepCase {
    const char* Name;
    const char* Article; ///< the [article] and [pictures] tables
    const char* Page;
    const char* Text; ///< what is kept
    const char* Next = "";
};

class KeepArticleTest : public ::testing::TestWithParam<TKeepCase> {};

TEST_P(KeepArticleTest, KeepsWhatTheDescriptionSays)
{
    const TKeepCase& test = GetParam();
    const auto description = Describe(std::string("[contents]\narticles = \"a\"\n") + test.Article);
    const BrintLib::TPageUrl pageUrl("http://m.test/2026-11/story/");
    const Magazine::TKeptPage kept = Magazine::KeepArticle(*description, test.Page, pageUrl);
    EXPECT_EQ(kept.Text, test.Text);
    EXPECT_EQ(kept.NextUrl, test.Next);
}

const TKeepCase kKeepCases[] = {
    {"RemovedInsideKept", "[article]\nkeep = \"article\"\nremove = [\".share\", \"script\"]\n",
     "<body><article><h1>T</h1><div class=share><b>S</b></div><script>x()</script><p>B</p></article><aside>A",
     "<article><h1>T</h1><p>B</p></article>"},
    {"KeptInPageOrderFromEverySelector", "[article]\nkeep = [\".b\", \".a\"]\n",
     "<p class=a>A</p><p>x</p><p class=b>B</p>", "<p class=a>A</p>\n<p class=b>B</p>"},
    {"NestedKeptOnce", "[article]\nkeep = [\"article p\", \"article\"]\n",
     "<article><p>1</p><p>2</p></article>", "<article><p>1</p><p>2</p></article>"},
    {"KeptElementRemovedWhole", "[article]\nkeep = [\"p\"]\nremove = \".ad\"\n", "<p>1</p><p class=ad>2</p>",
     "<p>1</p>"},
    {"ImpliedEndTagAsTheBrowserReadsIt", "[article]\nkeep = \"p\"\n", "<p>one<div>two</div>", "<p>one"},
    {"MisnestedTableCellFosterParented", "[article]\nkeep = \".x\"\n",
     "<table><tr><td>c</td></tr><div class=x>moved</div></table>", "<div class=x>moved</div>"},
    {"LazyPictureOverItsPlaceholder", "[article]\nkeep = \"figure\"\n",
     "<figure><img src=\"data:image/gif;base64,R0l=\" "
     "data-src=\"/p/x.jpg\"><figcaption>C</figcaption></figure>",
     "<figure><img src=\"http://m.test/p/x.jpg\"><figcaption>C</figcaption></figure>"},
    {"PlaceholderAloneLeavesThePictureOut", "[article]\nkeep = \"p\"\n",
     "<p>a<img src=\"data:image/gif;base64,R0l=\">b</p>", "<p>ab</p>"},
    {"WidestSrcsetCandidate", "[article]\nkeep = \"p\"\n",
     "<p><img src=\"s.jpg\" srcset=\"s.jpg 100w, l.jpg 300w, m.jpg 200w\" alt=x></p>",
     "<p><img src=\"http://m.test/2026-11/story/l.jpg\"></p>"},
    {"LazySrcsetOverThePlaceholderSrcset", "[article]\nkeep = \"p\"\n",
     "<p><img src=\"/p.gif\" srcset=\"/p.gif 1x\" data-srcset=\"/a.jpg 1x, /b.jpg 2x\"></p>",
     "<p><img src=\"http://m.test/b.jpg\"></p>"},
    {"PictureSourcesGiveTheWidest", "[article]\nkeep = \"picture\"\n",
     "<picture><source srcset=\"//cdn.test/big.jpg 1600w, /mid.jpg 800w\"><source srcset=\"/s.jpg 400w\">"
     "<img src=\"/s.jpg\"></picture>",
     "<picture><img src=\"http://cdn.test/big.jpg\"></picture>"},
    {"AttributesInTheDescriptionsOrder",
     "[article]\nkeep = \"p\"\n[pictures]\nattributes = [\"data-original\", \"src\"]\n",
     "<p><img data-src=\"/no.jpg\" data-original=\" \" src=\"/yes.jpg\"></p>",
     "<p><img src=\"http://m.test/yes.jpg\"></p>"},
    {"LinksMadeAbsoluteWithTheirFragment", "[article]\nkeep = \"p\"\n",
     "<p><a class=x href='../other/#part'>o</a> <a href=\"mailto:a@b\">m</a></p>",
     "<p><a class=x href=\"http://m.test/2026-11/other/#part\">o</a> <a href=\"mailto:a@b\">m</a></p>"},
    {"NextPageAddress", "[article]\nkeep = \"main\"\nnext = \"a.next\"\n",
     "<main>1</main><a class=next href=\"2/\">more</a>", "<main>1</main>", "http://m.test/2026-11/story/2/"},
    {"NextPageAttribute", "[article]\nkeep = \"main\"\nnext = \"link[rel=next]@href\"\n",
     "<link rel=next href=\"/s/3/\"><main>1</main>", "<main>1</main>", "http://m.test/s/3/"},
    {"NothingKept", "[article]\nkeep = \"article\"\n", "<div>no article</div>", ""},
};

INSTANTIATE_TEST_SUITE_P(Pages, KeepArticleTest, ::testing::ValuesIn(kKeepCases),
                         [](const ::testing::TestParamInfo<TKeepCase>& Info) { return Info.param.Name; });

/// Runs the front task of the queue as if Page (UTF-8) had come from Url.
void FinishFrontTask(const std::string& Page, const std::string& Url)
{
    std::unique_ptr<ITask> task = g_TaskQueue.Pop();
    task->Begin();
    task->Reply(TReply{Url, "text/html; charset=utf-8"});
    task->Receive(Page.data(), Page.size());
    task->Finish();
}

std::vector<std::string> DrainQueue()
{
    std::vector<std::string> urls;
    while (!g_TaskQueue.IsEmpty())
        urls.push_back(g_TaskQueue.Pop()->GetUrl());
    return urls;
}

const char kContents[] = "[contents]\narticles = \"main a.story\"\nsections = \"main h2\"\ncover = "
                         "\"meta[property='og:image']@content\"\n";
const char kContentsPage[] =
    "<!DOCTYPE html><html><head><meta property=\"og:image\" content=\"/cover.jpg\"></head><body><main>"
    "<a class=story href=\"/0/\">Before any section</a>"
    "<h2 class=\"skerrow-section\">Science</h2><a class=story href=\"/1/\">One</a><a class=story "
    "href=\"http://m.test/1/\">One "
    "again</a>"
    "<h2>Empty</h2><h2 class=\"skerrow-section\">History</h2><p><a class=story href=\"2/\"><b>Two</b> &amp; "
    "more</a></p>"
    "</main></body></html>";

class MagazineIssueTest : public ::testing::Test {
  protected:
    void TearDown() override { DrainQueue(); }
    const TRunState m_Run; ///< the issue directory's lock, released when the test ends
    TestSupport::TTempDir m_Dir;
};

TEST_F(MagazineIssueTest, ContentsPageHasSectionsCoverAndTheArticlesOnce)
{
    const std::string url = "https://m.test/2026-11/";
    g_TaskQueue.Push(Magazine::MakeContentsTask(
        url, m_Dir.Path(), Describe(std::string(kContents) + "[article]\nkeep = \"main\"\n")));
    FinishFrontTask(kContentsPage, url);
    EXPECT_EQ(DrainQueue(),
              (std::vector<std::string>{"https://m.test/0/", "https://m.test/1/", "https://m.test/2026-11/2/",
                                        "https://m.test/cover.jpg"}));
    const std::string saved = TestSupport::ReadFile(m_Dir / "2026_11/2026_11_00.htm");
    const size_t science = saved.find("<h2 class=\"skerrow-section\">Science</h2>\n<ul>\n<li><a "
                                      "href=\"2026_11_02.htm\">One</a></li>\n</ul>");
    const size_t history = saved.find("<h2 class=\"skerrow-section\">History</h2>\n<ul>\n<li><a "
                                      "href=\"2026_11_03.htm\">Two &amp; more</a></li>\n</ul>");
    EXPECT_NE(
        saved.find("<p><img src=\"2026_11_00/01.jpg\"></p>\n<ul>\n<li><a href=\"2026_11_01.htm\">Before any "
                   "section</a></li>\n</ul>\n<h2 class=\"skerrow-section\">Science"),
        std::string::npos)
        << saved;
    EXPECT_NE(science, std::string::npos) << saved;
    EXPECT_NE(history, std::string::npos) << saved;
    EXPECT_LT(science, history);
    EXPECT_EQ(saved.find("Empty"), std::string::npos);
}

TEST_F(MagazineIssueTest, ArticleAddressRewrittenAndLongArticleJoined)
{
    const std::string url = "https://m.test/2026-11/";
    g_TaskQueue.Push(Magazine::MakeContentsTask(
        url, m_Dir.Path(),
        Describe(std::string(kContents) + "[article]\nkeep = \"main\"\nnext = \"a.next\"\n"
                                          "address = { pattern = '^(.*)/$', replace = '$1/print/' }\n")));
    FinishFrontTask(kContentsPage, url);
    std::vector<std::unique_ptr<ITask>> tasks;
    while (!g_TaskQueue.IsEmpty())
        tasks.push_back(g_TaskQueue.Pop());
    ASSERT_EQ(tasks.size(), 4u);
    EXPECT_EQ(tasks[1]->GetUrl(), "https://m.test/1/print/");
    // The second article goes on at a next page, which links back to the first article and to itself.
    g_TaskQueue.Push(std::move(tasks[1]));
    FinishFrontTask("<main>page 1 <a href=\"/0/\">zero</a></main><a class=next href=\"2/\">2</a>",
                    "https://m.test/1/print/");
    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "2026_11/2026_11_02.htm"));
    ASSERT_EQ(g_TaskQueue.Size(), 1u);
    EXPECT_EQ(g_TaskQueue.At(0).GetUrl(), "https://m.test/1/print/2/");
    FinishFrontTask("<main>page 2 <img src=\"/p.png\"></main><a class=next href=\"../\">back</a>",
                    "https://m.test/1/print/2/");
    EXPECT_EQ(DrainQueue(), std::vector<std::string>{"https://m.test/p.png"});
    const std::string saved = TestSupport::ReadFile(m_Dir / "2026_11/2026_11_02.htm");
    EXPECT_NE(saved.find("<main>page 1 <a href=\"2026_11_01.htm\">zero</a></main>\n<main>page 2 <img "
                         "src=\"2026_11_02/01.png\"></main>"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("<title>One - J</title>"), std::string::npos) << saved;
    // An article whose keep finds nothing fails, naming the key.
    g_TaskQueue.Push(std::move(tasks[2]));
    const std::string failure =
        TestSupport::FailureOf([] { FinishFrontTask("<div>gone</div>", "https://m.test/x/"); });
    EXPECT_NE(failure.find("article.keep found nothing"), std::string::npos) << failure;
}

TEST_F(MagazineIssueTest, IssueFromThePageAndCoverFromAPicture)
{
    const std::string url = "https://m.test/latest/";
    const std::string head =
        "[magazine]\nname = \"J & Co\"\nhosts = [\"m.test\"]\nlanguage = \"en\"\n"
        "[issue]\npage = { pattern = '<h1>(\\w+)\\s+(\\d{4})</h1>', month = 1, year = 2 }\n";
    const TestSupport::TTempDir dir;
    std::ofstream(dir / "j.toml", std::ios::binary)
        << head << "[contents]\narticles = \"li > a\"\ncover = \"img.cover\"\n[article]\nkeep = \"main\"\n";
    g_TaskQueue.Push(
        Magazine::MakeContentsTask(url, m_Dir.Path(), Magazine::ReadDescription(dir / "j.toml")));
    FinishFrontTask(
        "<h1>March   2026</h1><img class=cover src=\"data:image/gif;base64,R0l=\" data-src=\"c.png\">"
        "<ul><li><a href=\"/a/\">A</a></ul>",
        url);
    EXPECT_EQ(DrainQueue(), (std::vector<std::string>{"https://m.test/a/", "https://m.test/latest/c.png"}));
    const std::string saved = TestSupport::ReadFile(m_Dir / "2026_03/2026_03_00.htm");
    EXPECT_NE(saved.find(
                  "<title>2026_03 - J &amp; Co</title>\n<meta name=\"DC.publisher\" content=\"J &amp; Co\">\n"
                  "<meta name=\"DC.language\" content=\"en\">"),
              std::string::npos)
        << saved;
    EXPECT_NE(
        saved.find("<h1>J &amp; Co: March 2026</h1>\n<p><img src=\"2026_03_00/01.png\"></p>\n<ul>\n<li><a "
                   "href=\"2026_03_01.htm\">A</a></li>\n</ul>"),
        std::string::npos)
        << saved;
}

TEST_F(MagazineIssueTest, GroupThatFindsNothingIsNamed)
{
    const TestSupport::TTempDir dir;
    std::ofstream(dir / "j.toml", std::ios::binary)
        << "[magazine]\nname = \"J\"\nhosts = [\"m.test\"]\n[issue]\naddress = { pattern = "
           "'/(\\d{4})-(\\d\\d)/', "
           "year = 1, month = 3 }\n[contents]\narticles = \"a\"\n[article]\nkeep = \"p\"\n";
    g_TaskQueue.Push(Magazine::MakeContentsTask("https://m.test/2026-11/", m_Dir.Path(),
                                                Magazine::ReadDescription(dir / "j.toml")));
    const std::string failure =
        TestSupport::FailureOf([] { FinishFrontTask("<a href=x>x</a>", "https://m.test/2026-11/"); });
    EXPECT_NE(failure.find("группа 3 шаблона issue.address"), std::string::npos) << failure;
    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "2026_11"));
}

struct TIssueNameCase {
    const char* Year;
    const char* Month;
    const char* Language;
    const char* Name;
};

class IssueNameTest : public ::testing::TestWithParam<TIssueNameCase> {};

TEST_P(IssueNameTest, ReadsTheMonthAsNumberOrName)
{
    EXPECT_EQ(Magazine::IssueName(GetParam().Year, GetParam().Month, GetParam().Language), GetParam().Name);
}

const TIssueNameCase kIssueNames[] = {
    {"2026", "11", "ru", "2026_11"},          {"2026", "3", "en", "2026_03"},
    {"2026", "Ноябрь", "ru", "2026_11"},      {"2026", " ноя ", "ru", "2026_11"},
    {"2026", "November", "en-GB", "2026_11"}, {"2026", "sep", "en", "2026_09"},
    {"2026", "November", "ru", "2026_unkn"},  {"2026", "13", "en", "2026_unkn"},
    {"2026", "Судьбы", "ru", "2026_lis"},
};

INSTANTIATE_TEST_SUITE_P(Months, IssueNameTest, ::testing::ValuesIn(kIssueNames));

TEST(RewriteAddressTest, ReplacesTheMatchWithItsGroups)
{
    const auto description =
        Describe("[contents]\narticles = \"a\"\n[article]\nkeep = \"p\"\n"
                 "address = { pattern = '^(https?)://([^/]+)/(.*)$', replace = '$1://print.$2/$3?$$' }\n");
    EXPECT_EQ(Magazine::RewriteAddress(description->Address, "https://m.test/a/b/"),
              "https://print.m.test/a/b/?$");
    EXPECT_EQ(Magazine::RewriteAddress(description->Address, "ftp:x"), "ftp:x");
}

} // namespace
