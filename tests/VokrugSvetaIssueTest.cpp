// A whole issue of the second site copied by the real executable, through a sample magazine server that
// stands in as the HTTP proxy: the saved tree, every saved page and picture byte for byte, the order of the
// downloads and the error log.
//
// The sample issue (tests/data/siteB) holds the cases that catch faults: a row without a link before an
// article's row, descriptions with tags and with an unclosed '<', an href that also stands in its row's text
// and in the page head (kept in both), a relative href, a short one with a #fragment whose text also stands
// in the title, a bare and a single-quoted href, rows not of the row's shape (a <tr> with a class, a row
// without a division; logged), several `content` divisions after the heading, an article page with <BODY>
// in capitals (read as a browser reads it), pictures used twice, with a query, and in the dropped parts of a
// page.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "VokrugSveta_Parser.h"
#include "libs/CoutConvert.h"
#include "support/ProcessRunner.h"
#include "support/TestHttpServer.h"

namespace fs = std::filesystem;

namespace {

const std::string kSiteData = SKERROW_TEST_DATA_DIR "/siteB/";
const std::string kIssueUrl = "http://mag-b.test/magazines/2007/05/";

const std::string& kArticlePattern = FindPattern(VokrugSveta::Patterns(), "B.Article").Text;
const std::string& kHeadingPattern = FindPattern(VokrugSveta::Patterns(), "B.Heading").Text;

/// The downloads of the sample issue after its title page, in the order in which they must happen: the
/// articles in contents order, the contents page's pictures, then each article's pictures.
const std::vector<std::string> kDownloadsAfterTitle = {
    "http://mag-b.test/print/magazines/2007/05/island/",
    "http://mag-b.test/print/magazines/2007/05/stars/",
    "http://mag-b.test/print/magazines/2007/05/pages/deep.html",
    "http://mag-b.test/print/magazines/2007/05/bonus/",
    "http://mag-b.test/print/magazines/2007/05/7",
    "http://mag-b.test/images/covers/2007-05.jpg",
    "http://mag-b.test/images/thumbs/island.png",
    "http://mag-b.test/images/thumbs/deep.gif",
    "http://mag-b.test/i/2007/05/island_1.jpg",
    "http://mag-b.test/i/2007/05/island_2.png",
    "http://mag-b.test/i/2007/05/stars.jpg",
    "http://mag-b.test/i/2007/05/deep.jpg?size=big",
    "http://mag-b.test/i/2007/05/deep_scheme.gif",
};

/// The saved issue: every entry below the save path (directories end with '/') and, for files, the data
/// file that it must equal.
const std::vector<std::pair<std::string, std::string>> kSavedIssue = {
    {"2007_05/", ""},
    {"2007_05/2007_05_00.htm", "expected/2007_05_00.htm"},
    {"2007_05/2007_05_00/", ""},
    {"2007_05/2007_05_00/01.jpg", "images/cover.jpg"},
    {"2007_05/2007_05_00/02.png", "images/island_thumb.png"},
    {"2007_05/2007_05_00/03.gif", "images/deep_thumb.gif"},
    {"2007_05/2007_05_01.htm", "expected/2007_05_01.htm"},
    {"2007_05/2007_05_01/", ""},
    {"2007_05/2007_05_01/01.jpg", "images/island_1.jpg"},
    {"2007_05/2007_05_01/02.png", "images/island_2.png"},
    {"2007_05/2007_05_02.htm", "expected/2007_05_02.htm"},
    {"2007_05/2007_05_02/", ""},
    {"2007_05/2007_05_02/01.jpg", "images/deep.jpg"}, // the picture served for stars.jpg
    {"2007_05/2007_05_03.htm", "expected/2007_05_03.htm"},
    {"2007_05/2007_05_03/", ""},
    {"2007_05/2007_05_03/01.jpg", "images/deep.jpg"},
    {"2007_05/2007_05_03/02.gif", "images/deep_scheme.gif"},
    {"2007_05/2007_05_04.htm", "expected/2007_05_04.htm"},
    {"2007_05/2007_05_04/", ""},
    {"2007_05/2007_05_05.htm", "expected/2007_05_04.htm"}, // the same page served for another address
    {"2007_05/2007_05_05/", ""},
};

/// One expected entry of the error log: the task's URL and the failure's message; or, with no URL, a line
/// that a page processor logged, exactly.
struct TLogEntry {
    std::string Url;
    std::string Message;
};

/// The sample magazine server: the replies listed in site.txt, keyed by full URL.
class TSampleSite {
  public:
    TSampleSite()
    {
        std::ifstream list(kSiteData + "site.txt");
        std::string line;
        while (std::getline(list, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            const size_t blank = line.find(' ');
            const std::string body = TestSupport::ReadFile(kSiteData + line.substr(blank + 1));
            EXPECT_FALSE(body.empty()) << line;
            m_Server.SetReply(line.substr(0, blank), {200, body});
        }
    }
    std::string ProxyUrl() const { return m_Server.ProxyUrl(); }
    std::vector<std::string> Requests() const { return m_Server.Requests(); }

  private:
    TestSupport::TTestHttpServer m_Server;
};

/// The URLs of the console lines that begin with Prefix, in order.
std::vector<std::string> ConsoleLines(const std::string& Stdout, const std::string& Prefix)
{
    std::vector<std::string> urls;
    std::istringstream lines(Stdout);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, Prefix.size(), Prefix) == 0)
            urls.push_back(line.substr(Prefix.size()));
    }
    return urls;
}

/// Every entry below Dir, relative to it, directories with a trailing '/', sorted.
std::vector<std::string> Tree(const std::string& Dir)
{
    std::vector<std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Dir)) {
        std::string name = fs::relative(entry.path(), Dir).string();
        if (entry.is_directory())
            name += '/';
        entries.push_back(name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

/// Checks that SavePath holds the sample issue exactly: no entry more or less, every file byte for byte.
void ExpectSavedIssue(const std::string& SavePath)
{
    std::vector<std::string> expected;
    for (const auto& entry : kSavedIssue)
        expected.push_back(entry.first);
    ASSERT_EQ(Tree(SavePath), expected);
    for (const auto& entry : kSavedIssue) {
        if (entry.second.empty())
            continue;
        // EXPECT_TRUE rather than EXPECT_EQ: a mismatch prints the file names, not two binary dumps.
        const std::string saved = TestSupport::ReadFile(SavePath + "/" + entry.first);
        EXPECT_TRUE(saved == TestSupport::ReadFile(kSiteData + entry.second))
            << entry.first << " differs from " << entry.second << ":\n"
            << saved;
    }
}

/// Checks that Log consists of exactly the Expected entries, in order, each as the driver writes an
/// application failure: URL, the exception's class, its source file and line, the message, a blank line.
void ExpectErrorLog(std::string Log, const std::vector<TLogEntry>& Expected)
{
    for (const TLogEntry& entry : Expected) {
        if (entry.Url.empty()) {
            ASSERT_EQ(Log.compare(0, entry.Message.size(), entry.Message), 0)
                << "expected " << entry.Message << "log:\n"
                << Log;
            Log.erase(0, entry.Message.size());
            continue;
        }
        const std::string head = entry.Url + " BrintLib::TAplThrowException src/";
        ASSERT_EQ(Log.compare(0, head.size(), head), 0) << "expected an entry for " << entry.Url << ", log:\n"
                                                        << Log;
        const size_t location = head.size();
        const size_t tab = Log.find(":\n\t", location);
        ASSERT_NE(tab, std::string::npos) << Log;
        const std::string fileAndLine = Log.substr(location, tab - location); // e.g. Logic.cpp, 57
        const size_t comma = fileAndLine.find(", ");
        ASSERT_NE(comma, std::string::npos) << fileAndLine;
        EXPECT_FALSE(fileAndLine.substr(0, comma).empty());
        const std::string line = fileAndLine.substr(comma + 2);
        EXPECT_TRUE(!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            << fileAndLine;
        const std::string tail = entry.Message + "\n\n";
        ASSERT_EQ(Log.compare(tab + 3, tail.size(), tail), 0)
            << "entry for " << entry.Url << ":\n"
            << Log.substr(0, std::min(Log.size(), tab + 3 + tail.size()));
        Log.erase(0, tab + 3 + tail.size());
    }
    EXPECT_EQ(Log, "") << "entries beyond the expected ones";
}

/// The search error as the log holds it: a text over 300 bytes is quoted by its first 300 and its length.
std::string SearchError(const std::string& Pattern, const std::string& Text)
{
    const std::string quoted =
        Text.size() <= 300 ? "\"" + Text + "\""
                           : "\"" + Text.substr(0, 300) + "...\" (" + std::to_string(Text.size()) + " байт)";
    return "Ошибка при поиске шаблона: \"" + Pattern + "\" в строке " + BrintLib::MaskControlBytes(quoted);
}

/// The lines that the title page's rows not of the row's shape give, for the issue saved below SavePath.
std::vector<TLogEntry> RowShapeEntries(const std::string& SavePath)
{
    std::vector<TLogEntry> entries;
    for (const char* article : {"odd", "nodiv"}) {
        entries.push_back({"", SavePath +
                                   "/2007_05/2007_05_00.htm Строка оглавления не распознана, статья не "
                                   "загружена: http://mag-b.test/magazines/2007/05/" +
                                   article + "/\n"});
    }
    // The announcement before the heading, a rubric row without a link, a picture in a description and an
    // advertisement between the rows are shown, but not kept.
    entries.push_back(
        {"", SavePath + "/2007_05/2007_05_00.htm Текст или картинки оглавления не сохранены: "
                        "В номере: острова, звёзды и глубины Наука <img src=\"/i/sky.gif\" /> Реклама\n"});
    return entries;
}

std::vector<std::string> Concat(std::vector<std::string> First, const std::vector<std::string>& Second)
{
    First.insert(First.end(), Second.begin(), Second.end());
    return First;
}

/// Runs of a private copy of the executable through the sample site, saving to "save" beside it.
class VokrugSvetaIssue : public ::testing::Test {
  protected:
    TestSupport::TProcessResult Run(const std::string& Url) const
    {
        return m_Skerrow.Run(m_Site.ProxyUrl(), Url, m_Save);
    }

    TSampleSite m_Site;
    TestSupport::TSkerrowCopy m_Skerrow;
    const std::string m_Save = m_Skerrow.Path("save");
};

} // namespace

TEST_F(VokrugSvetaIssue, WholeIssueIsCopiedInQueueOrder)
{
    const auto run = Run(kIssueUrl);
    EXPECT_EQ(run.ExitStatus, 1) << run.Stdout << run.Stderr;

    const std::vector<std::string> downloads = Concat({kIssueUrl}, kDownloadsAfterTitle);
    EXPECT_EQ(ConsoleLines(run.Stdout, "Download: "), downloads);
    // Nothing else was asked for: no dropped picture, no later row (in any order: transfers overlap).
    std::vector<std::string> requests = m_Site.Requests();
    std::vector<std::string> sortedDownloads = downloads;
    std::sort(requests.begin(), requests.end());
    std::sort(sortedDownloads.begin(), sortedDownloads.end());
    EXPECT_EQ(requests, sortedDownloads);
    EXPECT_EQ(ConsoleLines(run.Stdout, "Processing: "),
              std::vector<std::string>(downloads.begin(), downloads.begin() + 6));
    ExpectSavedIssue(m_Save);
    ExpectErrorLog(m_Skerrow.ErrorLog(), RowShapeEntries(m_Save));
}

TEST_F(VokrugSvetaIssue, UrlOfTheHostAloneIsTheSiteRoot)
{
    // Declined by the first site's handler (its host text is "http:/"), taken by this one.
    const auto run = Run("http://mag-b.test");
    EXPECT_EQ(run.ExitStatus, 1) << run.Stdout << run.Stderr;

    // Relative addresses now resolve against the host's root.
    std::vector<std::string> downloads = Concat({"http://mag-b.test"}, kDownloadsAfterTitle);
    downloads[3] = "http://mag-b.test/print/pages/deep.html";
    downloads[5] = "http://mag-b.test/print/7";
    EXPECT_EQ(ConsoleLines(run.Stdout, "Download: "), downloads);
    ExpectSavedIssue(m_Save);
    ExpectErrorLog(m_Skerrow.ErrorLog(), RowShapeEntries(m_Save));
}

TEST_F(VokrugSvetaIssue, YearFollowedByABlankStopsTheTitlePage)
{
    const std::string url = "http://mag-b.test/magazines/2007/06/";

    const auto run = Run(url);
    EXPECT_EQ(run.ExitStatus, 1) << run.Stdout << run.Stderr;

    EXPECT_EQ(ConsoleLines(run.Stdout, "Download: "), std::vector<std::string>{url});
    EXPECT_FALSE(fs::exists(m_Save)); // no issue directory, no page
    ExpectErrorLog(
        m_Skerrow.ErrorLog(),
        {{url, SearchError(kHeadingPattern, TestSupport::ReadFile(kSiteData + "title_year_blank.htm"))}});
}

TEST_F(VokrugSvetaIssue, SecondRunIntoTheSameSavePathChangesNothing)
{
    Run(kIssueUrl);
    const size_t firstLog = m_Skerrow.ErrorLog().size();

    const auto run = Run(kIssueUrl);
    EXPECT_EQ(run.ExitStatus, 1) << run.Stdout << run.Stderr;

    // Every page is processed again and queues its tasks before its own file is found saved; no picture
    // is asked for. Only the contents page's own entries are logged again.
    EXPECT_EQ(ConsoleLines(run.Stdout, "Download: "),
              Concat({kIssueUrl}, std::vector<std::string>(kDownloadsAfterTitle.begin(),
                                                           kDownloadsAfterTitle.begin() + 5)));
    ExpectSavedIssue(m_Save);
    std::vector<std::string> saved;
    for (const char* file : {"2007_05_00.htm", "2007_05_01.htm", "2007_05_02.htm", "2007_05_03.htm",
                             "2007_05_04.htm", "2007_05_05.htm", "2007_05_00/01.jpg", "2007_05_00/02.png",
                             "2007_05_00/03.gif", "2007_05_01/01.jpg", "2007_05_01/02.png",
                             "2007_05_02/01.jpg", "2007_05_03/01.jpg", "2007_05_03/02.gif"})
        saved.push_back(m_Save + "/2007_05/" + file);
    EXPECT_EQ(ConsoleLines(run.Stdout, u8"Уже сохранён: "), saved);
    std::vector<TLogEntry> log = RowShapeEntries(m_Save);
    ExpectErrorLog(m_Skerrow.ErrorLog().substr(firstLog), log);
}
