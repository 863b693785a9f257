// The driver as users meet it: the real executable, its console output and its error log.
#include "Driver.h"
#include "ErrorLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "libs/Auxiliary.h"
#include "support/CaptureCout.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using TestSupport::RunProcess;
using TestSupport::TTempDir;

namespace {

const std::string kBanner = "Skerrow - offline copy of one magazine issue\n"
                            "                  https://skerrow.example.org/\n"
                            "                  Skerrow developers <skerrow@example.org>\n\n";
const std::string kTime = "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ";
const std::string kLocation = "BrintLib::TAplThrowException src/[A-Za-z_/]+\\.cpp, [0-9]+:\n\t";

std::uintmax_t LogSize()
{
    const fs::path log = fs::path(SKERROW_EXE).parent_path() / "errors.txt";
    return fs::exists(log) ? fs::file_size(log) : 0;
}

} // namespace

TEST(Driver, TooFewArgumentsPrintTheUsageAndDoNothing)
{
    // The usage wins over an argument that windows-1251 cannot represent.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{SKERROW_EXE}, std::vector<std::string>{SKERROW_EXE, "http://mag-a.test/"},
          std::vector<std::string>{SKERROW_EXE, u8"http://\u4e2d/"}}) {
        const TTempDir work;
        const std::uintmax_t logBefore = LogSize();
        const auto run = RunProcess(args, {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
        EXPECT_EQ(run.ExitStatus, 2);
        const std::string usage =
            u8"Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> "
            u8"\\[Путь к WinRar.exe\\]";
        const std::string statuses =
            u8"Код завершения: 0 - всё сохранено \\(и упаковано\\); 1 - часть задач или "
            u8"упаковка не удались; 2 - запуск невозможен; 130/143 - прервано "
            u8"\\(SIGINT/SIGTERM\\)\n";
        EXPECT_TRUE(
            std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation + usage + "\n\n" + statuses)))
            << run.Stdout;
        EXPECT_TRUE(fs::is_empty(work.Path()));
        EXPECT_EQ(LogSize(), logBefore);
    }
}

TEST(Driver, HelpAndVersionAreAnsweredWithStatusZero)
{
    const TTempDir work;
    const auto help = RunProcess({SKERROW_EXE, "--help"}, {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
    EXPECT_EQ(help.ExitStatus, 0);
    for (const std::string& line :
         {kBanner + u8"Использвание: Skerrow <URL титульной страницы журнала>",
          std::string(
              u8"\n  SKERROW_CONNECTIONS - передач одновременно (1 - по одной): целое число от 1 до 64, "
              u8"по умолчанию 6\n"),
          std::string(u8"\n  SKERROW_STREAMS - "), std::string(u8"от 1 до 1000, по умолчанию 100\n"),
          std::string(u8"\n  SKERROW_STALL_SECONDS - "), std::string(u8"от 1 до 86400, по умолчанию 60\n"),
          std::string(u8"\n  SKERROW_RETRIES - "), std::string(u8"от 0 до 10, по умолчанию 2\n"),
          std::string(u8"\n  SKERROW_MAX_PICTURE_MB - "),
          std::string(u8"\nКод завершения: 0 - всё сохранено")})
        EXPECT_NE(help.Stdout.find(line), std::string::npos) << line << "\n" << help.Stdout;
    const auto version = RunProcess({SKERROW_EXE, "--version"}, {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
    EXPECT_EQ(version.ExitStatus, 0);
    EXPECT_TRUE(std::regex_match(version.Stdout, std::regex("Skerrow [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.Stdout;
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

TEST(Driver, RunThatCannotStartIsRefusedWithItsReasonBeforeAnythingIsCreated)
{
    // The program started through a path that windows-1251 cannot represent, and a fourth argument that it
    // cannot represent either: neither is ever read.
    const TTempDir bin;
    const std::string program = bin / u8"Skerrow \u4e2d";
    fs::create_symlink(SKERROW_EXE, program);
    const struct {
        std::vector<std::string> Args;
        std::string Reason;
    } kRows[] = {
        {{SKERROW_EXE, u8"ftp://example.invalid/журнал", "save", "archiver"},
         u8"Неизвестный URL: ftp://example.invalid/журнал"},
        {{SKERROW_EXE, u8"http://mag-a.test/\u4e2d", "save"},
         u8"Аргумент 1 командной строки не может быть представлен в кодировке windows-1251"},
        // A path is the system's bytes, shown as the terminal shows them.
        {{SKERROW_EXE, "http://mag-a.test/magazine/2007-05/", u8"/dev/null/日本"},
         u8"Сохранить выпуск в /dev/null/日本 нельзя: Not a directory"},
        {{program, "ftp://example.invalid/x", "save", "archiver", u8"\u4e2d"},
         u8"Неизвестный URL: ftp://example.invalid/x"},
        {{SKERROW_EXE, "http://mag-a.test/magazine/2007-05/", ""},
         u8"Путь сохранения пуст: укажите каталог, в котором сохранить выпуск"},
        {{SKERROW_EXE, "http://mag-a.test/magazine/2007-05/", "/dev/null/save"},
         u8"Сохранить выпуск в /dev/null/save нельзя: Not a directory"},
        {{SKERROW_EXE, "http://mag-a.test/magazine/2007-05/", "save", "/usr/bin/\"zip"},
         u8"Путь к архиватору /usr/bin/\"zip нельзя передать в командной строке: в нём есть кавычка"},
    };
    for (const auto& row : kRows) {
        const TTempDir work;
        const auto run =
            RunProcess(row.Args, {"LANG=C.UTF-8", "LC_ALL=", "http_proxy=http://127.0.0.1:9"}, work.Path());
        EXPECT_EQ(run.ExitStatus, 2) << row.Reason;
        EXPECT_TRUE(
            std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation + row.Reason + "\n\n")))
            << run.Stdout;
        EXPECT_TRUE(fs::is_empty(work.Path())) << row.Reason;
    }
}

TEST(ErrorLog, AppendsEntriesAsComposedBesideTheExecutable)
{
    const std::string beside = BrintLib::GetModuleDir() + "errors.txt";
    ASSERT_EQ(beside, (fs::read_symlink("/proc/self/exe").parent_path() / "errors.txt").string());
    EXPECT_EQ(ErrorLogPath(), beside);
    // The entries go to a log of the test's own, as a test sets it.
    const TestSupport::TPrivateErrorLog log;
    EXPECT_EQ(ErrorLogPath(), log.Path());
    const size_t countBefore = LoggedErrorCount();
    LogError("http://a BrintLib::TAplThrowException x.cpp, 1:\n\tФайл уже существует\n\n");
    LogError("http://b std::exception: boom\n");
    // Text from the network reaches neither the log nor the console with its control bytes.
    TestSupport::TCaptureCout console;
    LogError("http://c/\x1b]0;title\x07\x1b[31m\r.jpg std::exception: \x7f\n");
    EXPECT_EQ(console.Text(), "http://c/?]0;title??[31m?.jpg std::exception: ?\n");
    EXPECT_EQ(TestSupport::ReadFile(log.Path()),
              "http://a BrintLib::TAplThrowException x.cpp, 1:\n\tФайл уже существует\n\n"
              "http://b std::exception: boom\n"
              "http://c/?]0;title??[31m?.jpg std::exception: ?\n");
    EXPECT_EQ(LoggedErrorCount(), countBefore + 3);
}

TEST(ErrorLog, LogThatCannotBeWrittenGoesToTheSavePathOrIsCountedAsLost)
{
    const TestSupport::TPrivateErrorLog log;
    fs::create_directory(log.Path()); // a directory where the file should be
    const size_t written = WrittenErrorCount();
    EXPECT_NO_THROW(LogError("lost entry\n"));
    EXPECT_TRUE(fs::is_directory(log.Path()));
    EXPECT_EQ(WrittenErrorCount(), written);
    const TTempDir save;
    SetFallbackLogDirectory(save.Path());
    LogError("kept entry\n");
    SetFallbackLogDirectory("");
    EXPECT_EQ(TestSupport::ReadFile(save / "errors.txt"), "kept entry\n");
    EXPECT_EQ(WrittenErrorCount(), written + 1);
    EXPECT_EQ(WrittenLogPath(), save / "errors.txt");
}

// Every page pattern of the program, byte for byte as tests/data/regex/program_patterns.txt pins it (the
// file the engine's tests, the benchmarks' peers and the fuzzer's seeds read): name, flags and text, in
// order.
TEST(PagePatterns, EveryPatternIsThePinnedText)
{
    std::ifstream file(std::string(SKERROW_TEST_DATA_DIR) + "/regex/program_patterns.txt", std::ios::binary);
    ASSERT_TRUE(file);
    std::vector<std::string> pinned;
    for (std::string line; std::getline(file, line);) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, '\t');)
            fields.push_back(field);
        if (!line.empty() && line[0] != '#' && fields.size() == 6)
            pinned.push_back(fields[0] + "\t" + fields[1] + "\t" + fields[5]);
    }
    std::vector<std::string> program;
    for (const TPagePattern& pattern : ProgramPatterns()) {
        const char* flags = pattern.Flags == regex::SINGLELINE ? "SINGLELINE"
                            : pattern.Flags == regex::NOCASE   ? "NOCASE"
                                                               : "0";
        program.push_back(std::string(pattern.Name) + "\t" + flags + "\t" + pattern.Text);
    }
    EXPECT_EQ(program, pinned);
}
