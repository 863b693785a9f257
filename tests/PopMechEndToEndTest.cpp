// Copying a sample site A issue with the real executable, through a local HTTP proxy that plays the site.
//
// The sample issue (tests/data/siteA, written by make_data.py there) has a contents page with the issue's
// own link, article links in all three quoting forms, one href that is the start of a later one, a relative
// one, a link with a #fragment, a background cell without a link beside one whose nested table holds the
// link, and picture links (direct and through a script address); article pages with pictures,
// comments, "dots" blocks and <noindex>, one of them with a block that runs past <noindex>, one with a
// picture only in the part that is cut off; an article page of another layout; and a picture that the
// server does not have.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "libs/Auxiliary.h"
#include "support/ProcessRunner.h"
#include "support/TestHttpServer.h"

namespace fs = std::filesystem;

namespace {

const std::string kDataDir = std::string(SKERROW_TEST_DATA_DIR) + "/siteA/";
const std::string kTitleUrl = "http://mag-a.test/issue/200705/";
/// The body of the server's reply for the picture it does not have.
const std::string kMissingBody = "<html><body>404 Not Found</body></html>\n";
/// The footer time of the expected pages.
const std::string kFooterTime = "Sun Dec 06 17:10:10 2026";

std::string ReadData(const std::string& Name)
{
    const std::string path = kDataDir + Name;
    EXPECT_TRUE(fs::exists(path)) << path;
    return TestSupport::ReadFile(path);
}

/// The lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> lines;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

/// The "Download: " lines of a run's console output.
std::vector<std::string> DownloadLines(const std::string& Stdout)
{
    std::vector<std::string> downloads;
    for (const std::string& line : Lines(Stdout)) {
        if (line.rfind("Download: ", 0) == 0)
            downloads.push_back(line);
    }
    return downloads;
}

/// The expected errors.txt in the data file Name, with every "{ISSUE}" replaced by IssueDir.
std::string ExpectedLog(const std::string& Name, const std::string& IssueDir)
{
    std::string log = ReadData(Name);
    const std::string placeholder = "{ISSUE}";
    for (size_t at = log.find(placeholder); at != std::string::npos;
         at = log.find(placeholder, at + IssueDir.size()))
        log.replace(at, placeholder.size(), IssueDir);
    return log;
}

/// A saved page with its footer's generation time replaced by kFooterTime, after checking its form.
std::string WithFixedFooterTime(std::string Page)
{
    const std::string generated = "Generated on ";
    const size_t at = Page.find(generated);
    if (at == std::string::npos)
        return Page;
    const size_t time = at + generated.size();
    const std::string text = Page.substr(time, kFooterTime.size() + 1);
    EXPECT_TRUE(
        std::regex_match(text, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
                                          "[0-6][0-9] [0-9]{4}\n")))
        << text;
    return Page.replace(time, kFooterTime.size(), kFooterTime);
}

/// An errors.txt text with the source locations of its entries masked as "FILE, LINE:".
std::string WithMaskedLocations(const std::string& Log)
{
    static const std::regex location("BrintLib::TAplThrowException src/[A-Za-z_/]+\\.(?:cpp|h), [0-9]+:\n");
    return std::regex_replace(Log, location, "BrintLib::TAplThrowException FILE, LINE:\n");
}

/// Every file and directory below Root, relative to it, with the content of each file ("<dir>" for
/// directories) and its modification time.
struct TTreeEntry {
    std::string Content;
    fs::file_time_type Time;
};
std::map<std::string, TTreeEntry> ReadTree(const std::string& Root)
{
    std::map<std::string, TTreeEntry> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Root)) {
        const std::string name = fs::relative(entry.path(), Root).string();
        tree[name] = {entry.is_directory() ? "<dir>" : TestSupport::ReadFile(entry.path().string()),
                      entry.last_write_time()};
    }
    return tree;
}

/// The site of the sample issue: every URL of site/urls.txt answered with its file, or with 404.
void ServeSampleIssue(TestSupport::TTestHttpServer& Server)
{
    for (const std::string& line : Lines(ReadData("site/urls.txt"))) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const std::string url = line.substr(0, tab);
        const std::string file = line.substr(tab + 1);
        if (file == "404")
            Server.SetReply(url, {404, kMissingBody});
        else
            Server.SetReply(url, {200, ReadData("site/" + file)});
    }
}

/// Runs of a private copy of Skerrow through a server that plays the sample issue.
class PopMechEndToEnd : public ::testing::Test {
  protected:
    PopMechEndToEnd() { ServeSampleIssue(m_Server); }

    /// Runs the copy on the issue's contents page.
    TestSupport::TProcessResult Run(const std::string& SavePath) const
    {
        return m_Skerrow.Run(m_Server.ProxyUrl(), kTitleUrl, SavePath);
    }

    TestSupport::TTestHttpServer m_Server;
    TestSupport::TSkerrowCopy m_Skerrow;
};

} // namespace

TEST_F(PopMechEndToEnd, CopiesTheIssueAndRefusesToOverwriteItOnASecondRun)
{
    const std::string savePath = m_Skerrow.Path("save");
    const std::string issueDir = savePath + "/2007_05/";
    const std::vector<std::string> downloads = Lines(ReadData("expected/downloads.txt"));

    // First run: the whole issue.
    const TestSupport::TProcessResult first = Run(savePath);
    ASSERT_EQ(first.ExitStatus, 1) << first.Stderr;
    EXPECT_EQ(DownloadLines(first.Stdout), downloads) << first.Stdout;

    std::map<std::string, std::string> expectedFiles;
    for (const std::string& line : Lines(ReadData("expected/tree.txt"))) {
        const size_t tab = line.find('\t');
        const std::string source = line.substr(tab + 1);
        expectedFiles[line.substr(0, tab)] = ReadData(source); // a picture that failed has no file
    }
    const std::map<std::string, TTreeEntry> saved = ReadTree(savePath);
    std::vector<std::string> savedNames, expectedNames = {"2007_05"};
    for (const auto& [name, entry] : saved)
        savedNames.push_back(name);
    for (const auto& [name, content] : expectedFiles) {
        expectedNames.push_back(name);
        const std::string dir = fs::path(name).parent_path().string();
        if (fs::path(name).extension() != ".htm" && dir != "2007_05")
            expectedNames.push_back(dir);
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    expectedNames.erase(std::unique(expectedNames.begin(), expectedNames.end()), expectedNames.end());
    // No page and no picture directory for the article of another layout (2007_05_03).
    EXPECT_EQ(savedNames, expectedNames);
    for (const auto& [name, content] : expectedFiles) {
        const auto found = saved.find(name);
        ASSERT_NE(found, saved.end()) << name;
        const std::string actual = fs::path(name).extension() == ".htm"
                                       ? WithFixedFooterTime(found->second.Content)
                                       : found->second.Content;
        EXPECT_EQ(actual, content) << name;
    }

    const std::string firstLog = m_Skerrow.ErrorLog();
    EXPECT_EQ(WithMaskedLocations(firstLog), ExpectedLog("expected/errors_run1.txt", issueDir));

    // Second run into the same save path: every task meets its own file ("Уже сохранён", not logged),
    // nothing changes; the pages are read again for their pictures, and only the missing picture is asked
    // for again.
    const TestSupport::TProcessResult second = Run(savePath);
    ASSERT_EQ(second.ExitStatus, 1) << second.Stderr;
    std::vector<std::string> asked;
    const std::regex picture(R"(.*\.(jpg|png|gif)(\?.*)?)");
    for (const std::string& line : downloads)
        if (!std::regex_match(line, picture) || line.find("missing.jpg") != std::string::npos)
            asked.push_back(line);
    EXPECT_EQ(DownloadLines(second.Stdout), asked) << second.Stdout;
    const size_t savedFiles =
        static_cast<size_t>(std::count_if(saved.begin(), saved.end(), [&](const auto& entry) {
            return !fs::is_directory(savePath + "/" + entry.first);
        }));
    size_t alreadyLines = 0;
    for (size_t at = second.Stdout.find(u8"Уже сохранён: "); at != std::string::npos;
         at = second.Stdout.find(u8"Уже сохранён: ", at + 1))
        ++alreadyLines;
    EXPECT_EQ(alreadyLines, savedFiles);
    EXPECT_NE(second.Stdout.find(u8", уже были: " + std::to_string(savedFiles) + ";"), std::string::npos);
    const std::map<std::string, TTreeEntry> again = ReadTree(savePath);
    ASSERT_EQ(again.size(), saved.size());
    for (const auto& [name, entry] : saved) {
        const auto found = again.find(name);
        ASSERT_NE(found, again.end()) << name;
        EXPECT_EQ(found->second.Content, entry.Content) << name;
        // A directory changes while a picture is written into it (its temporary comes and goes).
        if (!fs::is_directory(savePath + "/" + name)) {
            EXPECT_EQ(found->second.Time, entry.Time) << name;
        }
    }
    const std::string log = m_Skerrow.ErrorLog();
    ASSERT_EQ(log.compare(0, firstLog.size(), firstLog), 0) << "the first run's entries stay in front";
    EXPECT_EQ(WithMaskedLocations(log.substr(firstLog.size())),
              ExpectedLog("expected/errors_run2.txt", issueDir));
}

TEST_F(PopMechEndToEnd, SavePathThatCannotHoldTheIssueIsRefusedBeforeAnyRequest)
{
    const std::string savePath = m_Skerrow.Path("plain-file");
    std::ofstream(savePath) << "not a directory";

    for (const std::string& path : {savePath, savePath + "/issues"}) {
        const TestSupport::TProcessResult run = Run(path);
        ASSERT_EQ(run.ExitStatus, 2) << run.Stderr;
        EXPECT_TRUE(DownloadLines(run.Stdout).empty()) << run.Stdout;
        EXPECT_NE(run.Stderr.find(u8"Сохранить выпуск в " + path + u8" нельзя: Not a directory\n"),
                  std::string::npos)
            << run.Stderr;
        EXPECT_EQ(m_Skerrow.ErrorLog(), "");
    }
    EXPECT_TRUE(m_Server.Requests().empty());
    EXPECT_EQ(TestSupport::ReadFile(savePath), "not a directory");
}

TEST_F(PopMechEndToEnd, ContentsPageWithoutTheIssueLinkOnOneLineIsASearchErrorAndNothingElseHappens)
{
    m_Server.SetReply(kTitleUrl, {200, ReadData("site/contents_split_link.htm")});
    const std::string savePath = m_Skerrow.Path("save");

    const TestSupport::TProcessResult run = Run(savePath);
    ASSERT_EQ(run.ExitStatus, 1) << run.Stderr;
    EXPECT_EQ(DownloadLines(run.Stdout), std::vector<std::string>{"Download: " + kTitleUrl}) << run.Stdout;
    EXPECT_EQ(WithMaskedLocations(m_Skerrow.ErrorLog()), ReadData("expected/errors_split_link.txt"));
    EXPECT_FALSE(fs::exists(savePath));
}
