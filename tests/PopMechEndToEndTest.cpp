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
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Driver.h"
#include "libs/Auxiliary.h"
#include "libs/FileSystemFaults.h"
#include "libs/ZipArchive.h"
#include "support/CaptureCout.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace fs = std::filesystem;

namespace {

const std::string kDataDir = std::string(SKERROW_TEST_DATA_DIR) + "/siteA/";
const std::string kTitleUrl = "http://mag-a.test/issue/200705/";
/// The body of the server's reply for the picture it does not have.
const std::string kMissingBody = "<html><body>404 Not Found</body></html>\n";

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

/// Text with every time of making masked: the pages' footers, the book's modification time.
std::string WithoutTimes(const std::string& Text)
{
    static const std::regex times("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
                                  "[0-9]{4}|[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    return std::regex_replace(Text, times, "TIME");
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
    // Below a name that windows-1251 cannot hold, which errors.txt (windows-1251) shows as "??".
    const std::string savePath = m_Skerrow.Path(u8"日本/save");
    const std::string issueDir = m_Skerrow.Path("?\?/save") + "/2007_05/";
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
        EXPECT_EQ(WithoutTimes(found->second.Content), WithoutTimes(content)) << name;
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

namespace {

using BrintLib::TFileCall;

/// One file-system call of FileSystem.*, as the seam saw it: its kind and path.
using TFileCallSeen = std::pair<TFileCall, std::string>;

/// While it lives, makes the Nth file-system call (counting from 1; 0: none) fail with Error, and keeps
/// every call seen (Seen, once the calls are over).
class TNthCallFails final : public BrintLib::IFileFaults {
  public:
    TNthCallFails(size_t N, int Error) : m_N(N), m_Error(Error), m_Previous(BrintLib::SetFileFaults(this)) {}
    ~TNthCallFails() { BrintLib::SetFileFaults(m_Previous); }

    int Before(TFileCall Call, const char* Path) noexcept override
    {
        const std::lock_guard<std::mutex> lock(m_Lock);
        Seen.emplace_back(Call, Path);
        return Seen.size() == m_N ? m_Error : 0;
    }
    std::vector<TFileCallSeen> Seen;

  private:
    const size_t m_N;
    const int m_Error;
    BrintLib::IFileFaults* const m_Previous;
    std::mutex m_Lock;
};

const std::regex kTemporary("(^|.*/)\\.[^/]+\\.[0-9]+\\.part");

/// The files below Save, for comparing with a clean run's: name -> content without times; an archive or a
/// book as its entries ("2007_05.zip!NAME"); the temporaries apart.
std::map<std::string, std::string> SavedFiles(const std::string& Save, std::vector<std::string>& Temporaries)
{
    std::map<std::string, std::string> files;
    for (const auto& [name, entry] :
         fs::exists(Save) ? ReadTree(Save) : std::map<std::string, TTreeEntry>()) {
        if (entry.Content == "<dir>")
            continue;
        if (std::regex_match(name, kTemporary)) {
            Temporaries.push_back(name);
        } else if (!std::regex_match(name, std::regex(".*\\.(zip|epub)"))) {
            files[name] = WithoutTimes(entry.Content);
        } else {
            int error = 0;
            const BrintLib::TZipArchivePtr archive(
                zip_open((Save + "/" + name).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
            if (!archive) {
                files[name] = "<not an archive: " + BrintLib::ZipErrorText(error) + ">";
                continue;
            }
            for (zip_int64_t i = 0; i < zip_get_num_entries(archive.get(), 0); ++i) {
                const std::string entryName = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
                const BrintLib::TZipEntryPtr reader(
                    zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(i), 0));
                std::string content;
                char buffer[65536];
                for (zip_int64_t got; reader && (got = zip_fread(reader.get(), buffer, sizeof buffer)) > 0;)
                    content.append(buffer, static_cast<size_t>(got));
                if (entryName.back() != '/')
                    files[name + "!" + entryName] = WithoutTimes(content);
            }
        }
    }
    return files;
}

/// What one run of the walk left, printed and called.
struct TWalkRun {
    std::string Stdout;
    std::map<std::string, std::string> Files;
    std::vector<std::string> Temporaries;
    std::vector<TFileCallSeen> Calls;
};

} // namespace

// A whole copy of the issue, packed, with its book and the page of saved issues, made in this process while
// the Nth call to the file system fails, for every N a clean run makes and the errors a disk gives: nothing
// is ever cut under a file's own name, the failure is reported as what it is, and the same command then
// completes the copy as a clean run makes it.
TEST_F(PopMechEndToEnd, EveryFailingFileCallLeavesWholeFilesAndTheSameCommandCompletesTheCopy)
{
    const TestSupport::TPrivateErrorLog log;
    const TestSupport::TEnvironmentVariable proxy("http_proxy", m_Server.ProxyUrl());
    const TestSupport::TEnvironmentVariable noProxy("no_proxy", "");
    const TestSupport::TEnvironmentVariable connections("SKERROW_CONNECTIONS", "1");
    const TestSupport::TTempDir work;
    size_t saves = 0;
    // Below a directory whose name windows-1251 cannot hold: the save path is the system's bytes throughout.
    const auto newSave = [&] { return work / (u8"日本/save" + std::to_string(++saves)); };
    fs::create_directory(work / u8"日本"); // so that every run makes the same calls
    // The copy alone, or the whole command with the packing, the book and the index; the Nth file-system
    // call failing with Error (none for 0).
    const auto run = [](const std::string& Save, bool Whole, size_t N, int Error) {
        TWalkRun result;
        {
            TNthCallFails faults(N, Error);
            const TestSupport::TCaptureCout console, errors(std::cerr);
            RunSkerrow(Whole ? std::vector<std::string>{"Skerrow", "--epub", "--index", kTitleUrl, Save,
                                                        SKERROW_ZIP_EXE}
                             : std::vector<std::string>{"Skerrow", kTitleUrl, Save});
            // Both streams: a failure's report goes to standard error, the summary to standard output.
            result.Stdout = console.Text() + errors.Text();
            result.Calls = faults.Seen;
        }
        result.Files = SavedFiles(Save, result.Temporaries);
        return result;
    };
    const std::string cleanSave = newSave();
    const TWalkRun clean = run(cleanSave, true, 0, 0), cleanCopy = run(newSave(), false, 0, 0);
    for (const std::string& line : {u8"\nКнига выпуска: " + cleanSave + "/2007_05.epub\n",
                                    u8"\nСписок выпусков: " + cleanSave + "/index.htm\n",
                                    u8"\nВыпуск упакован в архив " + cleanSave + "/2007_05.zip. "})
        EXPECT_NE(clean.Stdout.find(line), std::string::npos) << line << clean.Stdout;
    ASSERT_TRUE(clean.Temporaries.empty());
    ASSERT_EQ(cleanCopy.Files.size(), 13u);
    ASSERT_NE(clean.Files.count("2007_05.epub!EPUB/package.opf"), 0u) << clean.Stdout;

    // The calls of the copy come first, as the copy alone makes them; then come the packing's, the book's and
    // the index's. A failure in the copy is walked without packing: an issue with a failed task is packed as
    // it is, like one with a missing picture.
    const size_t copyEnd = cleanCopy.Calls.size();
    for (size_t i = 0; i < copyEnd; ++i)
        ASSERT_EQ(clean.Calls[i].first, cleanCopy.Calls[i].first) << i;
    size_t bookStart = copyEnd;
    while (bookStart < clean.Calls.size() && clean.Calls[bookStart].second.find(".epub") == std::string::npos)
        ++bookStart;
    // Files without those that are not compared when the Nth call failed. A directory that could not be
    // removed after a verified archive is read for the book as the issue: the book then lacks what was
    // removed, and a later run leaves that book alone.
    const auto withoutUncompared = [&](size_t N, std::map<std::string, std::string> Files) {
        for (auto it = Files.begin(); it != Files.end();)
            it = N > copyEnd && N <= bookStart && it->first.rfind("2007_05.epub!", 0) == 0 ? Files.erase(it)
                                                                                           : std::next(it);
        return Files;
    };
    const int kErrors[] = {ENOSPC, EIO, EACCES, EMFILE, EDQUOT, ENFILE};
    std::set<std::pair<TFileCall, int>> failedWith;
    for (size_t n = 1; n <= clean.Calls.size(); ++n) {
        const TFileCallSeen& failing = clean.Calls[n - 1];
        const bool inCopy = n <= copyEnd;
        // A temporary that cannot be removed or a directory that cannot be read for them is left to the next
        // run that takes the issue directory.
        const bool cleaningUp =
            failing.first == TFileCall::List ||
            (failing.first == TFileCall::Remove && std::regex_match(failing.second, kTemporary));
        // Each call fails with one error in turn, and each kind of call with every error at least once.
        std::vector<int> errors = {kErrors[n % std::size(kErrors)]};
        for (const int error : kErrors)
            if (failedWith.insert({failing.first, error}).second && error != errors[0])
                errors.push_back(error);
        for (const int error : errors) {
            const std::string save = newSave();
            const TWalkRun faulty = run(save, !inCopy, n, error);
            SCOPED_TRACE("call " + std::to_string(n) + " (" + failing.second + ") failing with " +
                         BrintLib::GetErrorDescription(error) + ":\n" + faulty.Stdout);
            ASSERT_GE(faulty.Calls.size(), n);
            ASSERT_EQ(faulty.Calls[n - 1].first, failing.first);
            // Nothing is cut: every file there under its own name is as a clean run makes it (those of the
            // issue directory as the archive holds them).
            for (const auto& [name, content] : withoutUncompared(n, faulty.Files)) {
                const bool inDir = name.rfind("2007_05/", 0) == 0;
                const auto expected = clean.Files.find(inDir ? "2007_05.zip!" + name.substr(8) : name);
                ASSERT_NE(expected, clean.Files.end()) << name;
                // The page of saved issues tells what is there; whole, it ends as a page ends.
                if (name == "index.htm")
                    EXPECT_EQ(content.substr(content.size() - 8), "</html>\n");
                else
                    EXPECT_EQ(content, expected->second) << name;
            }
            if (!cleaningUp) {
                EXPECT_EQ(faulty.Temporaries, std::vector<std::string>{});
                // The failure is told as what it is.
                EXPECT_NE(faulty.Stdout.find(BrintLib::GetErrorDescription(error)), std::string::npos);
                const bool full = error == ENOSPC || error == EDQUOT;
                if (inCopy && (full || error == EMFILE || error == ENFILE)) {
                    EXPECT_NE(faulty.Stdout.find(full ? u8"\nДиск заполнен: "
                                                      : u8"\nНет свободных дескрипторов файлов: "),
                              std::string::npos);
                    EXPECT_NE(faulty.Stdout.find(u8"\nКопирование не закончено: "), std::string::npos);
                }
                // A verified archive whose directory cannot be removed is told with the archive, and what is
                // left of the directory stays (whole, above).
                if (!inCopy && n <= bookStart) {
                    for (const std::string& line :
                         {u8"Архив " + save + u8"/2007_05.zip проверен, но каталог " + save +
                              u8"/2007_05/ удалить не удалось: " + BrintLib::GetErrorDescription(error) +
                              "\n",
                          u8"Выпуск упакован в архив " + save + u8"/2007_05.zip, каталог " + save +
                              u8"/2007_05/ удалить не удалось."})
                        EXPECT_NE(faulty.Stdout.find(line), std::string::npos) << line;
                }
            }
            // The same command completes the copy.
            const TWalkRun again = run(save, !inCopy, 0, 0);
            EXPECT_EQ(again.Temporaries, std::vector<std::string>{});
            EXPECT_EQ(withoutUncompared(n, again.Files),
                      withoutUncompared(n, inCopy ? cleanCopy.Files : clean.Files))
                << again.Stdout;
            if (HasFailure())
                return;
        }
    }
    EXPECT_EQ(failedWith.size(), 7u * std::size(kErrors)) << "every kind of call has failed with every error";
}
