// The driver as users meet it: the real executable, its console output and its error log; the run's state
// and its status line.
#include "Driver.h"
#include "ErrorLog.h"
#include "Progress.h"
#include "RunState.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
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

TEST(Driver, HelpAndVersionAreAnsweredWithStatusZero)
{
    const TTempDir work;
    for (const char* option : {"--help", "-h"}) {
        const auto help = RunProcess({SKERROW_EXE, "x", option}, {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
        EXPECT_EQ(help.ExitStatus, 0);
        EXPECT_EQ(help.Stderr, "");
        for (const std::string& line :
             {kBanner + u8"Использвание: Skerrow <URL титульной страницы журнала>",
              std::string(u8"\n  -h, --help - "), std::string(u8"\n  --epub - "),
              std::string(
                  u8"\n  SKERROW_CONNECTIONS - передач одновременно (1 - по одной): целое число от 1 до 64, "
                  u8"по умолчанию 6\n"),
              std::string(u8"\n  SKERROW_STREAMS - "), std::string(u8"от 1 до 1000, по умолчанию 100\n"),
              std::string(u8"\n  SKERROW_STALL_SECONDS - "),
              std::string(u8"от 1 до 86400, по умолчанию 60\n"), std::string(u8"\n  SKERROW_RETRIES - "),
              std::string(u8"от 0 до 10, по умолчанию 2\n"), std::string(u8"\n  SKERROW_MAX_PICTURE_MB - "),
              std::string(u8"\nКод завершения: 0 - всё сохранено")})
            EXPECT_NE(help.Stdout.find(line), std::string::npos) << line << "\n" << help.Stdout;
    }
    for (const char* option : {"--version", "-V"}) {
        const auto version = RunProcess({SKERROW_EXE, option}, {"LANG=C.UTF-8", "LC_ALL="}, work.Path());
        EXPECT_EQ(version.ExitStatus, 0);
        EXPECT_TRUE(std::regex_match(version.Stdout, std::regex("Skerrow [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << version.Stdout;
        EXPECT_EQ(version.Stderr, "");
    }
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

// A run that cannot start says why on standard error (the banner alone on standard output), exits 2 and
// does nothing: a command line that cannot run says what is wrong first, in plain words (an option stands
// anywhere; "--" ends the options); any other refusal comes with its source location.
TEST(Driver, RunThatCannotStartIsRefusedWithItsReasonBeforeAnythingIsCreated)
{
    const std::string usage =
        u8"\nИспользвание: Skerrow <URL титульной страницы журнала> <путь сохранения> "
        u8"\\[Путь к WinRar.exe\\]\nКод завершения: 0 - всё сохранено \\(и упаковано\\); 1 - "
        u8"часть задач или упаковка не удались; 2 - запуск невозможен; 130/143 - прервано "
        u8"\\(SIGINT/SIGTERM\\)\nПодробнее: Skerrow --help\n";
    // The program started through a path that windows-1251 cannot represent: it is never read.
    const TTempDir bin;
    const std::string program = bin / u8"Skerrow \u4e2d";
    fs::create_symlink(SKERROW_EXE, program);
    const std::string text = bin / "notes.txt"; // a file that no one may run
    std::ofstream(text) << "not a program\n";
    fs::permissions(text, fs::perms::owner_read | fs::perms::owner_write);
    const std::string issue = "http://mag-a.test/magazine/2007-05/";
    const struct {
        std::vector<std::string> Args; ///< after the program (SKERROW_EXE when Program is empty)
        std::string Stderr;            ///< a regular expression
        std::string Program = std::string();
    } kRows[] = {
        {{}, u8"Не указан URL титульной страницы журнала" + usage},
        {{"http://mag-a.test/"}, u8"Не указан путь сохранения" + usage},
        // The usage wins over an argument that windows-1251 cannot represent.
        {{u8"http://\u4e2d/"}, u8"Не указан путь сохранения" + usage},
        {{"--bogus", "x", "y"}, u8"Неизвестный параметр: --bogus" + usage},
        {{"x", "y", "-x"}, u8"Неизвестный параметр: -x" + usage},
        {{"x", "y", "--epub=yes"}, u8"Параметр не принимает значения: --epub=yes" + usage},
        {{"x", "y", "--magazine"}, u8"Не указано значение параметра --magazine" + usage},
        {{"x", "y", "zip", u8"\u4e2d"}, u8"Лишний аргумент: \u4e2d" + usage},
        {{"--", "--epub", "y", "zip", "--index"}, u8"Лишний аргумент: --index" + usage},
        {{u8"ftp://example.invalid/журнал", "save", "/bin/true"},
         u8"Неизвестный URL: ftp://example.invalid/журнал"},
        {{u8"http://mag-a.test/\u4e2d", "save"},
         u8"Аргумент 1 командной строки не может быть представлен в кодировке windows-1251"},
        // A path is the system's bytes, shown as the terminal shows them.
        {{issue, u8"/dev/null/日本"}, u8"Сохранить выпуск в /dev/null/日本 нельзя: Not a directory"},
        {{"ftp://example.invalid/x", "save", "/bin/true"},
         u8"Неизвестный URL: ftp://example.invalid/x",
         program},
        {{issue, ""}, u8"Путь сохранения пуст: укажите каталог, в котором сохранить выпуск"},
        {{issue, "/dev/null/save"}, u8"Сохранить выпуск в /dev/null/save нельзя: Not a directory"},
        {{issue, "save", "/usr/bin/\"zip"},
         u8"Путь к архиватору /usr/bin/\"zip нельзя передать в командной строке: в нём есть кавычка"},
        // The archiver is checked before the first request.
        {{issue, "save", "/no/such/zip"}, u8"Архиватор /no/such/zip не найден: No such file or directory"},
        {{issue, "save", "no-such-archiver"},
         u8"Архиватор no-such-archiver не найден: такой программы нет в PATH"},
        {{issue, "save", text}, u8"Архиватор " + text + u8" нельзя запустить: Permission denied"},
        {{issue, "save", "/usr"}, u8"Архиватор /usr нельзя запустить: это не файл"},
        // An option after the arguments is an option, not the archiver; after "--", an argument.
        {{"ftp://example.invalid/x", "save", "--epub"}, u8"Неизвестный URL: ftp://example.invalid/x"},
        {{"--", "-x/y", "save"}, u8"Неизвестный URL: -x/y"},
    };
    for (const auto& row : kRows) {
        const TTempDir work;
        const std::uintmax_t logBefore = LogSize();
        std::vector<std::string> args{row.Program.empty() ? std::string(SKERROW_EXE) : row.Program};
        args.insert(args.end(), row.Args.begin(), row.Args.end());
        const auto run =
            RunProcess(args, {"LANG=C.UTF-8", "LC_ALL=", "http_proxy=http://127.0.0.1:9"}, work.Path());
        EXPECT_EQ(run.ExitStatus, 2) << row.Stderr;
        EXPECT_EQ(run.Stdout, kBanner);
        const bool usageError =
            row.Stderr.size() > usage.size() &&
            row.Stderr.compare(row.Stderr.size() - usage.size(), usage.size(), usage) == 0;
        EXPECT_TRUE(std::regex_match(
            run.Stderr, std::regex(usageError ? row.Stderr : kTime + kLocation + row.Stderr + "\n\n")))
            << run.Stderr;
        EXPECT_TRUE(fs::is_empty(work.Path())) << row.Stderr;
        EXPECT_EQ(LogSize(), logBefore);
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
    // Text from the network reaches neither the log nor the console with its control bytes; the console
    // shows the entry on standard error.
    TestSupport::TCaptureCout console(std::cerr);
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

// The issue directory belongs to one run at a time, in this process or another, from its taking to the end
// of the run's state.
TEST(RunState, IssueDirectoryIsHeldByOneRunAtATimeAndReleasedAtItsEnd)
{
    const TTempDir save;
    const std::string dir = save.Path() + "/2007_05/";
    const std::string busy =
        "Каталог " + dir + " занят другим запуском Skerrow: дождитесь его конца; ничего не изменено";
    // What another run makes of the directory now: 0 it took it, 2 it was refused.
    const auto anotherRun = [&save, &busy](bool Child) {
        const pid_t pid = Child ? fork() : 0;
        if (pid != 0) {
            int status = 0;
            return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        int result = 0;
        try {
            TRunState other;
            other.TakeIssueDirectory(save.Path(), "2007_05");
        } catch (const BrintLib::TRunStopped& e) {
            result = e.Message() == busy ? e.ExitStatus() : 3;
        }
        if (Child)
            _exit(result);
        return result;
    };
    for (int round = 0; round < 2; ++round) {
        {
            TRunState run;
            EXPECT_EQ(TRunState::Current(), &run);
            EXPECT_EQ(CreateIssueDirectory(save.Path(), "2007_05"), dir);
            EXPECT_EQ(g_IssueDir, dir);
            EXPECT_TRUE(run.HoldsIssueDirectory());
            // Taken again by its holder: no change.
            EXPECT_EQ(CreateIssueDirectory(save.Path(), "2007_05"), dir);
            EXPECT_EQ(anotherRun(false), 2);
            EXPECT_EQ(anotherRun(true), 2);
            EXPECT_EQ(g_IssueDir, dir);
        }
        EXPECT_EQ(TRunState::Current(), nullptr);
        EXPECT_TRUE(g_IssueDir.empty());
        EXPECT_EQ(anotherRun(true), 0);
    }
}

// The status line's text: the whole of it when it fits, what matters first when the terminal is narrow.
TEST(Progress, LineShowsWhatMattersFirstWhenTheTerminalIsNarrow)
{
    const TProgressCounts counts{57, 78, 13, 40};
    TProgressState quiet;
    quiet.Bytes = 1536;
    quiet.RecentBytes = 1024;
    quiet.Recent = std::chrono::milliseconds(2000);
    TProgressState waiting = quiet;
    waiting.SilentHost = "mag-a.test";
    waiting.Silent = std::chrono::seconds(12);
    TProgressState barely = waiting;
    barely.Silent = std::chrono::seconds(4);
    TProgressState retried = waiting;
    retried.Attempt = 2;
    retried.Attempts = 3;
    TProgressState retriedQuiet = quiet;
    retriedQuiet.Attempt = 3;
    retriedQuiet.Attempts = 3;
    const struct {
        TProgressState State;
        size_t Columns;
        std::string Text;
    } kRows[] = {
        {quiet, 0, "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с"},
        {quiet, 200, "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с"},
        {waiting, 200, "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с; ждём mag-a.test 12 с"},
        {barely, 200, "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с"},
        {retried, 0,
         "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с; ждём mag-a.test 12 с, попытка 2 из "
         "3"},
        {retriedQuiet, 0, "Задачи: 57 из 78; страниц: 13, картинок: 40; 1.5 КБ, 512 Б/с; попытка 3 из 3"},
        // A terminal of 40 columns gives the line 39.
        {waiting, 39, "Задачи: 57 из 78; ждём mag-a.test 12 с"},
        {retried, 39, "Задачи: 57 из 78; ждём mag-a.test 12 с"},
        {retried, 60, "Задачи: 57 из 78; ждём mag-a.test 12 с, попытка 2 из 3; стра"},
        {quiet, 39, "Задачи: 57 из 78; страниц: 13, картинок"},
    };
    for (const auto& row : kRows)
        EXPECT_EQ(TProgressLine::Text(counts, row.State, row.Columns), row.Text) << row.Columns;
}
