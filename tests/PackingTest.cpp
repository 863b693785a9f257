// Packing the issue directory: the command line the archiver receives, what becomes of the directory, and
// the project's own archiver, SkerrowZip, read back with Info-ZIP's unzip.
//
// Where the command line itself is the point, the archiver is this test program, started again as a
// recording child that writes its arguments to a file.
#include "Packing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

#include "RunState.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "support/CaptureCout.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using TestSupport::ReadFile;
using TestSupport::RunProcess;
using TestSupport::SelfPath;
using TestSupport::TEnvironmentVariable;
using Args = std::vector<std::string>;

namespace {

const Args kSwitches = {"a", "-afzip", "-ep1", "-cfg-", "-k", "-m5", "-r", "-s", "-sv-", "-t", "-idq", "--"};
const std::string kData = SKERROW_TEST_DATA_DIR "/packing/2007_05";
const std::string kUnzip = "/usr/bin/unzip";

/// Every file and folder below Dir: relative name (a folder's ending with '/') -> content.
std::map<std::string, std::string> ReadTree(const std::string& Dir)
{
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Dir)) {
        const std::string name = fs::relative(entry.path(), Dir).string();
        if (entry.is_directory())
            tree[name + "/"] = "";
        else
            tree[name] = ReadFile(entry.path().string());
    }
    return tree;
}

/// The entry names of a zip archive, as unzip lists them.
Args ListArchive(const std::string& Archive)
{
    const TestSupport::TProcessResult listing = RunProcess({kUnzip, "-Z1", Archive});
    EXPECT_EQ(listing.ExitStatus, 0) << listing.Stderr;
    Args names;
    std::istringstream lines(listing.Stdout);
    for (std::string line; std::getline(lines, line);)
        names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

/// Extracts a zip archive with unzip (testing every checksum) and returns what it holds.
std::map<std::string, std::string> UnpackArchive(const std::string& Archive, const std::string& Into)
{
    const TestSupport::TProcessResult test = RunProcess({kUnzip, "-tqq", Archive});
    EXPECT_EQ(test.ExitStatus, 0) << test.Stdout << test.Stderr;
    const TestSupport::TProcessResult unpack = RunProcess({kUnzip, "-qq", Archive, "-d", Into});
    EXPECT_EQ(unpack.ExitStatus, 0) << unpack.Stderr;
    return ReadTree(Into);
}

Args Names(const std::map<std::string, std::string>& Tree)
{
    Args names;
    for (const auto& entry : Tree)
        names.push_back(entry.first);
    return names;
}

/// A temporary directory for copies of the sample issue; g_IssueDir is cleared at the end.
class PackIssueTest : public ::testing::Test {
  protected:
    ~PackIssueTest() override { g_IssueDir.clear(); }

    /// Copies the sample issue, plus an empty picture folder, to <root>/SaveDir/2007_05 and returns
    /// that path (no trailing separator).
    std::string MakeIssue(const std::string& SaveDir)
    {
        const std::string dir = m_Root + "/" + SaveDir + "/2007_05";
        fs::create_directories(dir);
        fs::copy(kData, dir, fs::copy_options::recursive);
        fs::create_directory(dir + "/2007_05_02");
        return dir;
    }

    /// Runs PackIssue with the recording child as the archiver (at ArchiverPath, the test program when
    /// empty); returns the child's argv, empty when no child ran, and the failure text in Failure.
    Args PackRecorded(const std::string& ArchiverPath, const std::string& ChildExit, std::string& Failure)
    {
        const std::string record = m_Root + "/argv";
        fs::remove(record);
        const TEnvironmentVariable recordSwitch(TestSupport::kRecordArgsVariable, record);
        const TEnvironmentVariable exitSwitch(TestSupport::kChildExitVariable, ChildExit);
        Failure.clear();
        try {
            PackIssue(ArchiverPath.empty() ? SelfPath() : ArchiverPath);
        } catch (const BrintLib::TAplThrowException& e) {
            Failure = e.what();
        }
        return TestSupport::ReadRecordedArgs(record);
    }

    /// The command line that packing Dir with Program must build.
    static std::string CommandLine(const std::string& Program, const std::string& Dir)
    {
        return "\"" + Program + "\" a -afzip -ep1 -cfg- -k -m5 -r -s -sv- -t -idq -- \"" + Dir + "\" \"" +
               Dir + "/*\"";
    }

    /// The failure of an archiver that reported success for IssueDir without a sound archive.
    static std::string SuccessButFault(const std::string& Fault, const std::string& IssueDir)
    {
        return "Архиватор сообщил об успешном завершении, но " + Fault + "; каталог " + IssueDir +
               " оставлен на месте";
    }

    /// Writes an archiver script at Path that runs Body with the archive's name (no ".zip") in $archive.
    static void WriteArchiverScript(const std::string& Path, const std::string& Body)
    {
        std::ofstream(Path) << "#!/bin/sh\narchive=\"${13}\"\n" << Body << "\n";
        fs::permissions(Path, fs::perms::owner_all);
    }

    /// The sample issue as it lies in a fresh copy (with its empty picture folder).
    static std::map<std::string, std::string> SampleTree()
    {
        std::map<std::string, std::string> tree = ReadTree(kData);
        tree["2007_05_02/"] = "";
        return tree;
    }

    /// The arguments that the archiver must receive for Dir.
    static Args Expected(const std::string& Program, const std::string& Dir)
    {
        Args argv{Program};
        argv.insert(argv.end(), kSwitches.begin(), kSwitches.end());
        argv.push_back(Dir);
        argv.push_back(Dir + "/*");
        return argv;
    }

    const TestSupport::TTempDir m_Dir;
    const std::string m_Root = m_Dir.Path();
};

} // namespace

TEST_F(PackIssueTest, ArchiverReceivesTheSameCommandLineWhateverTheTrailingSeparators)
{
    for (const std::string suffix : {"", "/", "///"}) {
        const std::string dir = MakeIssue("save");
        g_IssueDir = dir + suffix;
        std::string failure;
        EXPECT_EQ(PackRecorded("", "0", failure), Expected(SelfPath(), dir)) << "suffix " << suffix;
        // The recording child reports success but writes no archive: the directory stays.
        EXPECT_EQ(failure, SuccessButFault("архива " + dir + ".zip нет", g_IssueDir));
        EXPECT_EQ(ReadTree(dir), SampleTree());
        fs::remove_all(dir);
    }
}

TEST_F(PackIssueTest, ArchiverThatReportsSuccessWithoutASoundArchiveLeavesTheDirectory)
{
    const std::string dir = MakeIssue("save");
    const std::string zip = dir + ".zip";
    g_IssueDir = dir + "/";
    // An archive of the issue without one picture, one with a picture of another size, and one with a
    // picture of the same size whose bytes differ.
    const std::string partial = m_Root + "/partial", resized = m_Root + "/resized",
                      changed = m_Root + "/changed";
    fs::copy(dir, partial, fs::copy_options::recursive);
    fs::remove(partial + "/2007_05_01/02.gif");
    fs::copy(dir, resized, fs::copy_options::recursive);
    std::ofstream(resized + "/2007_05_01/01.jpg", std::ios::app) << "more";
    fs::copy(dir, changed, fs::copy_options::recursive);
    std::fstream(changed + "/2007_05_01/01.jpg", std::ios::in | std::ios::out | std::ios::binary).put('?');
    const std::string archiver = m_Root + "/archiver";
    const std::string skerrowZip =
        std::string("\"") + SKERROW_ZIP_EXE + "\" a -afzip -ep1 -cfg- -k -m5 -r -s -sv- -t -idq -- ";
    struct {
        std::string Name;
        std::string Script; ///< what the archiver does, with exit status 0
        std::string Fault;
    } const cases[] = {
        {"/bin/true", "", "архива " + zip + " нет"},
        {"an archive left from before", "exit 0", "архив " + zip + " не изменился"},
        {"not a zip archive", "echo text > \"$archive.zip\"",
         "архив " + zip + " не читается: Not a zip archive"},
        {"a file missing", skerrowZip + "\"$archive\" " + partial + "/\\*",
         "в архиве " + zip + " нет файла 2007_05_01/02.gif"},
        {"a file of another size", skerrowZip + "\"$archive\" " + resized + "/\\*",
         "в архиве " + zip + " файл 2007_05_01/01.jpg имеет размер " +
             std::to_string(fs::file_size(dir + "/2007_05_01/01.jpg") + 4) + " байт вместо " +
             std::to_string(fs::file_size(dir + "/2007_05_01/01.jpg"))},
        {"a file of the same size with other bytes", skerrowZip + "\"$archive\" " + changed + "/\\*",
         "в архиве " + zip + " файл 2007_05_01/01.jpg отличается от файла каталога"},
    };
    for (const auto& c : cases) {
        fs::remove(zip);
        std::string failure;
        try {
            if (c.Script.empty()) {
                PackIssue(c.Name);
            } else {
                if (c.Name == "an archive left from before") {
                    ASSERT_EQ(RunProcess({SKERROW_ZIP_EXE, "a", "-afzip", "-ep1", "-cfg-", "-k", "-m5", "-r",
                                          "-s", "-sv-", "-t", "-idq", "--", m_Root + "/old", dir + "/*"})
                                  .ExitStatus,
                              0);
                    fs::copy_file(m_Root + "/old.zip", zip); // the same content: only its age gives it away
                }
                WriteArchiverScript(archiver, c.Script);
                PackIssue(archiver);
            }
        } catch (const BrintLib::TAplThrowException& e) {
            failure = e.what();
        }
        // An archive that failed the check is no longer under its name: it is set aside, and the
        // message says so.
        const bool written = c.Name != "/bin/true";
        EXPECT_EQ(failure, SuccessButFault(c.Fault, g_IssueDir) +
                               (written ? "; архив переименован в " + zip + ".bad" : std::string()))
            << c.Name;
        EXPECT_FALSE(fs::exists(zip)) << c.Name;
        EXPECT_EQ(fs::exists(zip + ".bad"), written) << c.Name;
        fs::remove(zip + ".bad");
        EXPECT_EQ(ReadTree(dir), SampleTree()) << c.Name;
    }
}

TEST_F(PackIssueTest, FailingArchiverIsReportedWithTheWholeCommandLineAndTheDirectoryStays)
{
    // The archiver as given, and at a path with blanks (quoted, so that program runs).
    fs::create_directory(m_Root + "/Win Rar");
    fs::create_symlink(SelfPath(), m_Root + "/Win Rar/WinRar");
    for (const auto& [archiver, suffix] :
         {std::pair<std::string, std::string>{SelfPath(), "//"},
          std::pair<std::string, std::string>{m_Root + "/Win Rar/WinRar", "/"}}) {
        const std::string dir = MakeIssue(suffix == "/" ? "blanks" : "save");
        g_IssueDir = dir + suffix;
        std::string failure;
        EXPECT_EQ(PackRecorded(archiver, "1", failure), Expected(archiver, dir));
        EXPECT_EQ(failure, "Ошибка WinRar, при выполнении комманды " + CommandLine(archiver, dir));
        EXPECT_EQ(ReadTree(dir), SampleTree());
    }
}

TEST_F(PackIssueTest, ProgramNamedByAPrefixOfTheArchiverPathNeverRuns)
{
    // "<root>/my arch/SkerrowZip" while an executable "<root>/my" exists: unquoted, "<root>/my" would run
    // (here the recording child, reporting success) and the issue would be removed with no archive.
    fs::create_symlink(SelfPath(), m_Root + "/my");
    fs::create_directory(m_Root + "/my arch");
    fs::create_symlink(SKERROW_ZIP_EXE, m_Root + "/my arch/SkerrowZip");
    const std::string dir = MakeIssue("save");
    const std::map<std::string, std::string> saved = ReadTree(dir);
    g_IssueDir = dir + "/";
    std::string failure;
    EXPECT_EQ(PackRecorded(m_Root + "/my arch/SkerrowZip", "0", failure), Args{});
    EXPECT_EQ(failure, "");
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(UnpackArchive(dir + ".zip", m_Root + "/unpacked"), saved);
}

TEST_F(PackIssueTest, ArchiverThatCannotStartIsReportedAndTheDirectoryStays)
{
    const std::string archiver = m_Root + "/no such/WinRar.exe";
    const std::string dir = MakeIssue("save");
    g_IssueDir = dir + "/";
    std::string failure;
    EXPECT_EQ(PackRecorded(archiver, "0", failure), Args{});
    EXPECT_EQ(failure, "Error on executing command '" + CommandLine(archiver, dir) +
                           "' with starting dir 'NULL': No such file or directory");
    EXPECT_TRUE(fs::exists(dir + "/2007_05_01/01.jpg"));
}

TEST_F(PackIssueTest, SkerrowZipPacksEveryFileUnderItsRelativeNameAndTheDirectoryGoes)
{
    const std::string dir = MakeIssue("save");
    const std::map<std::string, std::string> saved = ReadTree(dir);
    g_IssueDir = dir + "/";
    const std::string archive = dir + ".zip";
    EXPECT_EQ(PackIssue(SKERROW_ZIP_EXE), archive);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(ListArchive(archive), (Args{"2007_05_00.htm", "2007_05_01.htm", "2007_05_01/",
                                          "2007_05_01/01.jpg", "2007_05_01/02.gif", "2007_05_02/"}));
    EXPECT_EQ(UnpackArchive(archive, m_Root + "/unpacked"), saved);
}

// Archivers that Linux users have get their own command lines, run in the issue directory: the archive
// holds the same names as the project archiver's, and the directory goes.
TEST_F(PackIssueTest, ZipAnd7zAreGivenTheirOwnCommandLines)
{
    const struct {
        const char* Name;
        Args Arguments;
    } rows[] = {
        {"zip", {"-r", "-q", "../2007_05.zip", "."}},
        {"7z", {"a", "-tzip", "-bd", "-y", "../2007_05.zip", "."}},
        {"7za", {"a", "-tzip", "-bd", "-y", "../2007_05.zip", "."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const std::string dir = MakeIssue(row.Name);
        g_IssueDir = dir + "/";
        const std::string bin = m_Root + "/bin-" + row.Name;
        fs::create_directory(bin);
        fs::create_symlink(SelfPath(), bin + "/" + row.Name);
        std::string failure;
        Args expected{bin + "/" + row.Name};
        expected.insert(expected.end(), row.Arguments.begin(), row.Arguments.end());
        EXPECT_EQ(PackRecorded(bin + "/" + row.Name, "0", failure), expected);
        EXPECT_EQ(failure, SuccessButFault("архива " + dir + ".zip нет", g_IssueDir));
        // The real program, where the machine has it.
        const std::string real = std::string("/usr/bin/") + row.Name;
        if (!fs::exists(real))
            continue;
        const std::map<std::string, std::string> saved = ReadTree(dir);
        EXPECT_EQ(PackIssue(real), dir + ".zip");
        EXPECT_FALSE(fs::exists(dir));
        EXPECT_EQ(UnpackArchive(dir + ".zip", m_Root + "/unpacked-" + row.Name), saved);
    }
}

TEST_F(PackIssueTest, ShellSyntaxInTheSavePathRunsNoCommand)
{
    const std::string oldWorkDir = fs::current_path().string();
    fs::current_path(m_Root); // where a stray "touch pwned" would leave its file
    const std::string names[] = {"$(touch pwned)", "a;touch pwned;b", "`touch pwned`", "it's & | > < *",
                                 "tab\there"};
    for (const std::string& name : names) {
        const std::string dir = MakeIssue(name);
        g_IssueDir = dir + "/";
        EXPECT_NO_THROW(PackIssue(SKERROW_ZIP_EXE)) << name;
        EXPECT_EQ(Names(ReadTree(m_Root + "/" + name)), Args{"2007_05.zip"}) << name;
        EXPECT_EQ(ListArchive(dir + ".zip").size(), 6u) << name;
    }
    fs::current_path(oldWorkDir);
    EXPECT_EQ(Names(ReadTree(m_Root)).size(), std::size(names) * 2); // each save folder and its archive
    EXPECT_FALSE(fs::exists(m_Root + "/pwned"));
}

TEST_F(PackIssueTest, PathThatTheArchiverWouldReadDifferentlyIsRefused)
{
    // The archiver would be told to pack another directory (or the root), and the issue directory would
    // then be removed unpacked. Should the refusal fail, the recording child exits 1, so nothing is removed.
    for (const std::string save : {"say \"hi\"", "p\\\"q", "back\\"}) {
        const std::string dir = MakeIssue(save) + (save == "back\\" ? "/x\\" : "");
        fs::create_directories(dir);
        g_IssueDir = dir + "/";
        std::string failure;
        EXPECT_EQ(PackRecorded("", "1", failure), Args{}) << "no archiver may run for " << save;
        EXPECT_EQ(failure, "Каталог " + g_IssueDir + " нельзя передать архиватору");
        EXPECT_TRUE(fs::exists(dir));
    }
    g_IssueDir = "///";
    std::string failure;
    EXPECT_EQ(PackRecorded("", "1", failure), Args{});
    EXPECT_EQ(failure, "Каталог /// нельзя передать архиватору");

    // Nor can the archiver's path hold a quote: the program would be another one.
    const std::string quoted = m_Root + "/a\" b";
    g_IssueDir = MakeIssue("quote") + "/";
    EXPECT_EQ(PackRecorded(quoted, "0", failure), Args{});
    EXPECT_EQ(failure,
              "Путь к архиватору " + quoted + " нельзя передать в командной строке: в нём есть кавычка");
    EXPECT_TRUE(fs::exists(g_IssueDir));
}

// A packed run that finds its issue's archive, and no directory, before it takes the directory: a whole
// archive means the issue is done; one that lacks a file is kept for the packing to complete; one that
// cannot be read is set aside, never replacing anything.
TEST_F(PackIssueTest, ArchiveFoundBeforeTheRunIsCheckedAndAWholeOneEndsTheRun)
{
    const std::string dir = MakeIssue("found");
    const std::string zip = dir + ".zip";
    std::ofstream(dir + "/2007_05_01.htm", std::ios::app) << "<img src=\"2007_05_01/02.gif\"><a href=x.htm>";
    const auto pack = [&](const std::string& From) {
        const Args argv{SKERROW_ZIP_EXE, "a",  "-afzip", "-ep1", "-cfg-", "-k",       "-m5", "-r", "-s",
                        "-sv-",          "-t", "-idq",   "--",   dir,     From + "/*"};
        fs::remove(zip);
        ASSERT_EQ(RunProcess(argv).ExitStatus, 0);
    };
    const std::string lacking = m_Root + "/lacking";
    fs::copy(dir, lacking, fs::copy_options::recursive);
    fs::remove(lacking + "/2007_05_01/02.gif");
    const struct {
        std::string Name;
        std::string From; ///< the directory packed; empty: a file that is no zip archive
        int Stopped;      ///< the exit status of the run stopped, -1: the run goes on
        std::string Said; ///< on standard error
    } rows[] = {
        {"whole", dir, 0, ""},
        {"a picture missing", lacking, -1,
         "Архив " + zip +
             " неполон (нет файла 2007_05_01/02.gif): выпуск копируется заново, архив будет "
             "дополнен\n"},
        {"no zip archive", "", -1,
         "Архив " + zip + " повреждён (не читается: Not a zip archive): архив переименован в " + zip +
             ".bad2, выпуск копируется заново\n"},
    };
    std::ofstream(zip + ".bad") << "set aside by an earlier run";
    fs::rename(dir, dir + ".away");
    for (const auto& row : rows) {
        if (row.From.empty()) {
            fs::remove(zip);
            std::ofstream(zip) << "not a zip archive";
        } else {
            pack(row.From == dir ? dir + ".away" : row.From);
        }
        int stopped = -1;
        std::string said;
        {
            TestSupport::TCaptureCout errors(std::cerr);
            try {
                CheckPackedIssue(dir);
            } catch (const BrintLib::TRunStopped& e) {
                stopped = e.ExitStatus();
                EXPECT_EQ(e.Message(),
                          "Выпуск уже упакован в архив " + zip + ", архив проверен: копировать нечего");
            }
            said = errors.Text();
        }
        EXPECT_EQ(stopped, row.Stopped) << row.Name;
        EXPECT_EQ(said, BrintLib::Cp1251ToUser(row.Said)) << row.Name;
        EXPECT_EQ(fs::exists(zip), !row.From.empty()) << row.Name;
        EXPECT_FALSE(fs::exists(dir)) << row.Name;
    }
    EXPECT_EQ(ReadFile(zip + ".bad"), "set aside by an earlier run");
    EXPECT_EQ(ReadFile(zip + ".bad2"), "not a zip archive");
    // With the directory there, the run goes on as ever, whatever the archive.
    fs::rename(dir + ".away", dir);
    pack(dir);
    EXPECT_NO_THROW(CheckPackedIssue(dir));
    // A packed issue is known by its archive's mark before any request: for its own address only, and the
    // archive stays whole.
    const std::string save = dir.substr(0, dir.rfind('/'));
    const std::string url = "http://mag-a.test/magazine/2007-05/";
    EXPECT_EQ(FindPackedIssue(save, url), "");
    MarkPackedIssue(zip, url);
    EXPECT_EQ(FindPackedIssue(save, url), dir);
    EXPECT_EQ(FindPackedIssue(save, "http://mag-a.test/magazine/2007-06/"), "");
    fs::rename(dir, dir + ".away");
    EXPECT_THROW(CheckPackedIssue(dir), BrintLib::TRunStopped);
}

TEST_F(PackIssueTest, SkerrowWithAnArchiverButNoIssueStartsNoArchiver)
{
    const std::string record = m_Root + "/argv";
    const TestSupport::TProcessResult run =
        RunProcess({SKERROW_EXE, "http://unknown.test/", m_Root + "/save", SelfPath()},
                   {std::string(TestSupport::kRecordArgsVariable) + "=" + record});
    EXPECT_EQ(run.ExitStatus, 2);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_FALSE(fs::exists(m_Root + "/save"));
}

// SkerrowZip on its own.

class SkerrowZipTest : public PackIssueTest {
  protected:
    TestSupport::TProcessResult Zip(const std::string& Archive, const std::string& Files)
    {
        Args argv{SKERROW_ZIP_EXE};
        argv.insert(argv.end(), kSwitches.begin(), kSwitches.end());
        argv.push_back(Archive);
        argv.push_back(Files);
        return RunProcess(argv);
    }
};

TEST_F(SkerrowZipTest, AppendsZipOnlyWhenTheNameHasNoExtensionAndPrintsNothing)
{
    const std::string dir = MakeIssue("save");
    struct {
        std::string Archive;
        std::string Written;
    } const cases[] = {
        {"issue", "issue.zip"},     {"issue.zip", "issue.zip"},           {"issue.rar", "issue.rar"},
        {".hidden", ".hidden.zip"}, {"my.dir/issue", "my.dir/issue.zip"},
    };
    for (const auto& c : cases) {
        const std::string out = m_Root + "/out";
        fs::remove_all(out);
        fs::create_directories(out + "/my.dir");
        const TestSupport::TProcessResult run = Zip(out + "/" + c.Archive, dir + "/*");
        EXPECT_EQ(run.ExitStatus, 0) << run.Stderr;
        EXPECT_EQ(run.Stdout + run.Stderr, "");
        Args expected{"my.dir/", c.Written};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Names(ReadTree(out)), expected) << c.Archive;
    }
}

TEST_F(SkerrowZipTest, RefusesAnyOtherCommandLine)
{
    const std::string dir = MakeIssue("save");
    const std::string archive = m_Root + "/issue";
    Args good = kSwitches;
    good.push_back(archive);
    good.push_back(dir + "/*");
    Args missing = good, reordered = good, extra = good, noPattern = good, rootPattern = good, folder = good;
    missing.erase(missing.begin() + 5);
    std::swap(reordered[1], reordered[2]);
    extra.insert(extra.end() - 2, "-y");
    noPattern.back() = dir;
    rootPattern.back() = "/*";
    folder[folder.size() - 2] = m_Root + "/";
    const std::map<std::string, std::string> before = ReadTree(m_Root);
    for (const Args& arguments : {Args{}, missing, reordered, extra, noPattern, rootPattern, folder}) {
        Args argv{SKERROW_ZIP_EXE};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const TestSupport::TProcessResult run = RunProcess(argv);
        EXPECT_EQ(run.ExitStatus, 2);
        EXPECT_NE(run.Stderr.find("usage: SkerrowZip a -afzip"), std::string::npos);
        EXPECT_EQ(ReadTree(m_Root), before) << "nothing may be written";
    }
}

TEST_F(SkerrowZipTest, FailsAndWritesNothingWhenTheFolderCannotBePackedWhole)
{
    const std::string empty = m_Root + "/empty";
    fs::create_directory(empty);
    const std::string withLink = MakeIssue("link");
    fs::create_symlink("/etc/passwd", withLink + "/2007_05_01/03.jpg");
    const std::string withFifo = MakeIssue("fifo");
    ASSERT_EQ(mkfifo((withFifo + "/2007_05_02/pipe").c_str(), 0600), 0);

    for (const std::string& dir : {m_Root + "/missing", empty, withLink, withFifo}) {
        const TestSupport::TProcessResult run = Zip(m_Root + "/issue", dir + "/*");
        EXPECT_EQ(run.ExitStatus, 1) << dir;
        EXPECT_EQ(run.Stderr.rfind("SkerrowZip: ", 0), 0u) << run.Stderr;
        EXPECT_EQ(std::count(run.Stderr.begin(), run.Stderr.end(), '\n'), 1) << run.Stderr;
        EXPECT_FALSE(fs::exists(m_Root + "/issue.zip")) << dir;
    }
}

TEST_F(SkerrowZipTest, UpdatesAnExistingArchiveAndLeavesAnythingElseAlone)
{
    const std::string archive = m_Root + "/issue.zip";
    const std::string older = m_Root + "/older";
    fs::create_directory(older);
    std::ofstream(older + "/2007_05_00.htm") << "an older contents page";
    std::ofstream(older + "/kept.txt") << "only in the older archive";
    ASSERT_EQ(Zip(archive, older + "/*").ExitStatus, 0);

    const std::string dir = MakeIssue("save");
    ASSERT_EQ(Zip(archive, dir + "/*").ExitStatus, 0);
    std::map<std::string, std::string> expected = ReadTree(dir);
    expected["kept.txt"] = "only in the older archive";
    EXPECT_EQ(UnpackArchive(archive, m_Root + "/unpacked"), expected);

    const std::string notZip = m_Root + "/text.zip";
    std::ofstream(notZip) << "not a zip archive";
    const TestSupport::TProcessResult run = Zip(notZip, dir + "/*");
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(ReadFile(notZip), "not a zip archive");
}
