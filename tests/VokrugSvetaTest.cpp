// The second site's handler and title page, run in this process: the task the handler queues is fed a
// page by hand, and the tasks that its processor queues show the site root it kept.
#include "VokrugSveta_Parser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Generic_Parser.h"
#include "Logic.h"
#include "RunState.h"
#include "libs/Auxiliary.h"
#include "libs/Charset.h"
#include "support/AplFailure.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace {

const std::string kSiteData = SKERROW_TEST_DATA_DIR "/siteB/";

/// Takes every task off the global queue and returns their URLs in queue order.
std::vector<std::string> DrainQueue()
{
    std::vector<std::string> urls;
    while (!g_TaskQueue.IsEmpty())
        urls.push_back(g_TaskQueue.Pop()->GetUrl());
    return urls;
}

/// Runs the front task of the queue as if Page had been downloaded for it; with Reply, as if the reply came
/// from Reply.Url (redirected) with Reply.ContentType.
void FinishFrontTask(const std::string& Page, const TReply* Reply = nullptr)
{
    // The run whose state takes the issue directory, as the driver's does.
    const TRunState run;
    std::unique_ptr<ITask> task = g_TaskQueue.Pop();
    task->Begin();
    if (Reply != nullptr)
        task->Reply(*Reply);
    task->Receive(Page.data(), Page.size());
    task->Finish();
}

/// How a case serves the title page: as it is (windows-1251), or in UTF-8 told by a byte order mark, by
/// the Content-Type or by its <meta>.
enum class EServed { kAsItIs, kUtf8Bom, kUtf8Header, kUtf8Meta };

struct TUrlCase {
    const char* Url;
    bool Accepted;
    const char* Root; ///< scheme, host and port of every address resolved against the title page
    const char* Dir;  ///< the title page's directory, which relative addresses resolve into
    const char* Redirected = nullptr; ///< where the title page's reply came from, when not from Url
    EServed Served = EServed::kAsItIs;
};

/// The title page as Served serves it, and the reply that comes with it (from Url).
std::string Serve(const std::string& Page, EServed Served, const std::string& Url, TReply& Reply)
{
    Reply = {Url, "text/html; charset=windows-1251"};
    if (Served == EServed::kAsItIs)
        return Page;
    std::string utf8;
    EXPECT_TRUE(BrintLib::TIconv("UTF-8", "CP1251").Convert(Page, utf8));
    switch (Served) {
    case EServed::kUtf8Bom: // the mark outweighs the header
        return "\xEF\xBB\xBF" + utf8;
    case EServed::kUtf8Header: // the header outweighs the page's <meta>
        Reply.ContentType = "text/html; charset=UTF-8";
        return utf8;
    default: {
        Reply.ContentType = "text/html";
        const std::string declared = "charset=windows-1251";
        const size_t at = utf8.find(declared);
        EXPECT_NE(at, std::string::npos);
        return utf8.replace(at, declared.size(), "charset=utf-8");
    }
    }
}

} // namespace

TEST(VokrugSvetaUrl, HostNameUpToTheFirstSlashDecidesAndAddressesResolveAgainstTheTitlePage)
{
    const TUrlCase cases[] = {
        {"http://mag-b.test/magazines/2007/05/", true, "http://mag-b.test", "/magazines/2007/05/"},
        {"mag-b.test/magazines/2007/05/", true, "http://mag-b.test", "/magazines/2007/05/"},
        {"http://www.mag-b.test/magazines/2007/05/", true, "http://www.mag-b.test", "/magazines/2007/05/"},
        {"http://mag-b.test:8080/magazines/", true, "http://mag-b.test:8080", "/magazines/"},
        {"http://mag-b.test", true, "http://mag-b.test", "/"}, // no path: the site's root
        {"mag-b.test", true, "http://mag-b.test", "/"},
        {"http://mag-b.test.example/", true, "http://mag-b.test.example",
         "/"}, // the host name contains the site's
        {"http://mag-a.test/magazines/2007/05/", false, "", ""},
        {"http://example.test/mag-b.test/", false, "", ""}, // the site's name stands only in the path
        {"http://mag-bxtest/", false, "", ""},              // the dot is a dot
        {"https://mag-b.test/magazines/2007/05/", true, "https://mag-b.test", "/magazines/2007/05/"},
        // Redirected: the addresses resolve against where the page came from.
        {"http://mag-b.test/magazines/2007/05/", true, "https://mag-b.test", "/magazines/2007/05/",
         "https://mag-b.test/magazines/2007/05/"},
        {"http://mag-b.test/magazines/2007/05/", true, "https://www.mag-b.test", "/archive/2007-05/",
         "https://www.mag-b.test/archive/2007-05/"},
        // In UTF-8: saved as in windows-1251.
        {"http://mag-b.test/magazines/2007/05/", true, "http://mag-b.test", "/magazines/2007/05/", nullptr,
         EServed::kUtf8Bom},
        {"http://mag-b.test/magazines/2007/05/", true, "http://mag-b.test", "/magazines/2007/05/", nullptr,
         EServed::kUtf8Header},
        {"http://mag-b.test/magazines/2007/05/", true, "http://mag-b.test", "/magazines/2007/05/", nullptr,
         EServed::kUtf8Meta},
    };
    std::string title = TestSupport::ReadFile(kSiteData + "title.htm");
    ASSERT_FALSE(title.empty());
    // A picture's query holds Cyrillic letters: a browser sends them in the page's own encoding.
    const std::string thumb = "/images/thumbs/island.png";
    const size_t thumbAt = title.find(thumb + "\"");
    ASSERT_NE(thumbAt, std::string::npos);
    title.insert(thumbAt + thumb.size(), "?n=фото");
    std::string firstSaved;
    for (const TUrlCase& c : cases) {
        SCOPED_TRACE(c.Url);
        TestSupport::TTempDir save;
        ASSERT_TRUE(g_TaskQueue.IsEmpty());
        EXPECT_EQ(VokrugSveta::ProcessUrl(c.Url, save.Path()), c.Accepted);
        if (!c.Accepted) {
            EXPECT_TRUE(g_TaskQueue.IsEmpty());
            continue;
        }
        TReply reply;
        const std::string page = Serve(title, c.Served, c.Redirected ? c.Redirected : c.Url, reply);
        FinishFrontTask(page, c.Redirected || c.Served != EServed::kAsItIs ? &reply : nullptr);
        // Whatever the address and the encoding, the contents page is saved the same.
        const std::string saved = TestSupport::ReadFile(save / "2007_05/2007_05_00.htm");
        ASSERT_FALSE(saved.empty());
        if (firstSaved.empty())
            firstSaved = saved;
        EXPECT_EQ(saved, firstSaved);
        const std::string root = c.Root;
        const std::vector<std::string> queued = DrainQueue();
        const std::vector<std::string> expected = {
            root + "/print/magazines/2007/05/island/",
            root + "/print/magazines/2007/05/stars/",
            root + "/print" + c.Dir + "pages/deep.html",
            root + "/print/magazines/2007/05/bonus/",
            root + "/print" + c.Dir + "7",
            root + "/images/covers/2007-05.jpg",
            root + thumb + (c.Served == EServed::kAsItIs ? "?n=%F4%EE%F2%EE" : "?n=%D1%84%D0%BE%D1%82%D0%BE"),
            "http://mag-b.test/images/thumbs/deep.gif",
        };
        EXPECT_EQ(queued, expected);
    }
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 0u);
    g_IssueDir.clear();
}

// A numeric character reference in an article's link is text of its address, not the start of a fragment:
// the address is asked for decoded, and the contents page links to the local page with the link's own
// fragment only.
TEST(VokrugSvetaUrl, CharacterReferenceInAnArticleLinkIsNoFragment)
{
    std::string title = TestSupport::ReadFile(kSiteData + "title.htm");
    const size_t row = title.find("href=\"7#comments\"");
    ASSERT_NE(row, std::string::npos);
    title.replace(row, 17, "href=\"7?a=1&#38;b=2#comments\"");
    // The row before it ends without </tr>, at its start, as a browser ends it: its article is fetched too.
    const std::string bonusEnd = "Дополнительный материал</div></td></tr>";
    const size_t bonus = title.find(bonusEnd);
    ASSERT_NE(bonus, std::string::npos);
    title.erase(bonus + bonusEnd.size() - 5, 5);
    TestSupport::TTempDir save;
    ASSERT_TRUE(VokrugSveta::ProcessUrl("http://mag-b.test/magazines/2007/05/", save.Path()));
    FinishFrontTask(title);
    const std::vector<std::string> queued = DrainQueue();
    EXPECT_NE(std::find(queued.begin(), queued.end(), "http://mag-b.test/print/magazines/2007/05/7?a=1&b=2"),
              queued.end());
    EXPECT_NE(std::find(queued.begin(), queued.end(), "http://mag-b.test/print/magazines/2007/05/bonus/"),
              queued.end());
    const std::string contents = TestSupport::ReadFile(save / "2007_05/2007_05_00.htm");
    EXPECT_NE(contents.find("<a href=2007_05_05.htm#comments>"), std::string::npos);
    EXPECT_EQ(contents.find("#38;"), std::string::npos);
}

TEST(VokrugSvetaUrl, UrlWithoutHostNameIsASearchError)
{
    for (const std::string url : {"", "/magazines/2007/05/"}) {
        EXPECT_EQ(TestSupport::FailureOf([&] { VokrugSveta::ProcessUrl(url, "save"); }),
                  "Ошибка при поиске шаблона: \"" + FindPattern(VokrugSveta::Patterns(), "B.UrlPrefix").Text +
                      "\" в строке \"" + url + "\"")
            << url;
        EXPECT_TRUE(g_TaskQueue.IsEmpty());
    }
}

TEST(VokrugSvetaTitlePage, IssueDirectoryThatCannotBeCreatedFailsTheTaskAndQueuesNothing)
{
    TestSupport::TTempDir work;
    const std::string saveFile = work / "save";
    std::ofstream(saveFile) << "a file where the save directory should be";
    g_IssueDir.clear();

    ASSERT_TRUE(VokrugSveta::ProcessUrl("http://mag-b.test/magazines/2007/05/", saveFile));
    EXPECT_EQ(TestSupport::FailureOf([] { FinishFrontTask(TestSupport::ReadFile(kSiteData + "title.htm")); }),
              "Ошибка при создании каталога " + saveFile +
                  "/2007_05/: " + BrintLib::GetErrorDescription(EEXIST));
    EXPECT_TRUE(g_TaskQueue.IsEmpty());
    EXPECT_TRUE(g_IssueDir.empty());
    EXPECT_EQ(TestSupport::ReadFile(saveFile), "a file where the save directory should be");
}
