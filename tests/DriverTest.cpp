// The driver as users meet it: the real executable, its console output and its error log.
#include "Driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

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
        const std::string usage = u8"Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> "
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

TEST(Driver, UnknownUrlIsReportedAsTyped)
{
    const TTempDir work;
    const auto run = RunProcess({SKERROW_EXE, u8"ftp://example.invalid/журнал", "save", "archiver"},
                                {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
    EXPECT_EQ(run.ExitStatus, 2);
    EXPECT_TRUE(std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation +
                                                        u8"Неизвестный URL: ftp://example.invalid/журнал\n\n")))
        << run.Stdout;
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

TEST(Driver, ArgumentOutsideWindows1251IsRefusedByPosition)
{
    const TTempDir work;
    const auto run = RunProcess({SKERROW_EXE, "http://mag-a.test/", u8"save\u4e2d"}, {"LANG=C.UTF-8"}, work.Path());
    EXPECT_EQ(run.ExitStatus, 2);
    EXPECT_TRUE(std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation + u8"Аргумент 2 командной строки "
                                                        u8"не может быть представлен в кодировке windows-1251\n\n")))
        << run.Stdout;
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

TEST(Driver, ProgramNameAndUnusedArgumentsOutsideWindows1251AreNotRefused)
{
    // Started through a path that windows-1251 cannot represent, with a fourth argument that it cannot
    // represent either: neither is ever read.
    const TTempDir work;
    const fs::path dir = fs::path(work.Path()) / u8"bin \u4e2d";
    fs::create_directory(dir);
    fs::create_symlink(SKERROW_EXE, dir / "Skerrow");
    const auto run = RunProcess({(dir / "Skerrow").string(), "ftp://example.invalid/x", "save", "archiver", u8"\u4e2d"},
                                {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
    EXPECT_EQ(run.ExitStatus, 2);
    EXPECT_TRUE(std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation +
                                                        u8"Неизвестный URL: ftp://example.invalid/x\n\n")))
        << run.Stdout;
}

TEST(Driver, EmptySavePathIsRefusedBeforeAnythingIsCreated)
{
    const TTempDir work;
    const auto run = RunProcess({SKERROW_EXE, "http://mag-a.test/magazine/2007-05/", ""},
                                {"LANG=C.UTF-8", "LC_ALL=", "http_proxy=http://127.0.0.1:9"}, work.Path());
    EXPECT_EQ(run.ExitStatus, 2);
    EXPECT_TRUE(std::regex_match(run.Stdout, std::regex(kBanner + kTime + kLocation +
                                                        u8"Путь сохранения пуст: укажите каталог, в котором "
                                                        u8"сохранить выпуск\n\n")))
        << run.Stdout;
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

TEST(ErrorLog, AppendsEntriesAsComposedBesideTheExecutable)
{
    const std::string log = BrintLib::GetModuleDir() + "errors.txt";
    ASSERT_EQ(log, (fs::read_symlink("/proc/self/exe").parent_path() / "errors.txt").string());
    fs::remove(log);
    const size_t countBefore = LoggedErrorCount();
    LogError("http://a BrintLib::TAplThrowException x.cpp, 1:\n\tФайл уже существует\n\n");
    LogError("http://b std::exception: boom\n");
    // Text from the network reaches neither the log nor the console with its control bytes.
    TestSupport::TCaptureCout console;
    LogError("http://c/\x1b]0;title\x07\x1b[31m\r.jpg std::exception: \x7f\n");
    EXPECT_EQ(console.Text(), "http://c/?]0;title??[31m?.jpg std::exception: ?\n");
    EXPECT_EQ(TestSupport::ReadFile(log),
              "http://a BrintLib::TAplThrowException x.cpp, 1:\n\tФайл уже существует\n\n"
              "http://b std::exception: boom\n"
              "http://c/?]0;title??[31m?.jpg std::exception: ?\n");
    EXPECT_EQ(LoggedErrorCount(), countBefore + 3);
    EXPECT_EQ(ErrorLogPath(), log);
    fs::remove(log);
}

TEST(ErrorLog, LogThatCannotBeWrittenLosesTheEntrySilently)
{
    const std::string log = BrintLib::GetModuleDir() + "errors.txt";
    fs::remove(log);
    fs::create_directory(log); // a directory where the file should be
    EXPECT_NO_THROW(LogError("lost entry\n"));
    EXPECT_TRUE(fs::is_directory(log));
    fs::remove(log);
}
