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
#include "libs/Auxiliary.h"
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

/// Runs the front task of the queue as if Page had been downloaded for it.
void FinishFrontTask(const std::string& Page)
{
    std::unique_ptr<ITask> task = g_TaskQueue.Pop();
    task->Begin();
    task->Receive(Page.data(), Page.size());
    task->Finish();
}

struct TUrlCase {
    const char* Url;
    bool Accepted;
    const char* Root; ///< scheme, host and port of every address resolved against the title page
    const char* Dir;  ///< the title page's directory, which relative addresses resolve into
};

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
        {"https://mag-b.test/", false, "", ""},             // only http:// is taken off; the host is "https:"
    };
    const std::string title = TestSupport::ReadFile(kSiteData + "title.htm");
    ASSERT_FALSE(title.empty());
    for (const TUrlCase& c : cases) {
        SCOPED_TRACE(c.Url);
        TestSupport::TTempDir save;
        ASSERT_TRUE(g_TaskQueue.IsEmpty());
        EXPECT_EQ(VokrugSveta::ProcessUrl(c.Url, save.Path()), c.Accepted);
        if (!c.Accepted) {
            EXPECT_TRUE(g_TaskQueue.IsEmpty());
            continue;
        }
        FinishFrontTask(title);
        const std::string root = c.Root;
        const std::vector<std::string> queued = DrainQueue();
        const std::vector<std::string> expected = {
            root + "/print/magazines/2007/05/island/",
            root + "/print/magazines/2007/05/stars/",
            root + "/print" + c.Dir + "pages/deep.html",
            root + "/print/magazines/2007/05/bonus/",
            root + "/print" + c.Dir + "7",
            root + "/images/covers/2007-05.jpg",
            root + "/images/thumbs/island.png",
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
    TestSupport::TTempDir save;
    ASSERT_TRUE(VokrugSveta::ProcessUrl("http://mag-b.test/magazines/2007/05/", save.Path()));
    FinishFrontTask(title);
    const std::vector<std::string> queued = DrainQueue();
    EXPECT_NE(std::find(queued.begin(), queued.end(), "http://mag-b.test/print/magazines/2007/05/7?a=1&b=2"),
              queued.end());
    const std::string contents = TestSupport::ReadFile(save / "2007_05/2007_05_00.htm");
    EXPECT_NE(contents.find("<a href=2007_05_05.htm#comments>"), std::string::npos);
    EXPECT_EQ(contents.find("#38;"), std::string::npos);
    ReleaseIssueDirectory();
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
