// The command runner: how a command line is taken apart, which program it starts, what the child receives
// and what comes back. The child is this test program itself, started again as a recording child.
#include "libs/TestHelper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "support/AplFailure.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using BrintLib::ExecuteCommand;
using BrintLib::SplitArguments;
using BrintLib::SplitCommandLine;
using BrintLib::TCommandLine;
using TestSupport::FailureOf;
using TestSupport::SelfPath;
using TestSupport::TEnvironmentVariable;
using TestSupport::TTempDir;
using Args = std::vector<std::string>;

namespace {

void MakeFile(const std::string& Path, fs::perms Permissions)
{
    fs::create_directories(fs::path(Path).parent_path());
    std::ofstream(Path) << "#!/bin/false\n";
    fs::permissions(Path, Permissions);
}

void MakeExecutable(const std::string& Path)
{
    MakeFile(Path, fs::perms::owner_all);
}

/// Runs Command with the recording child switched on; returns the child's argv and sets ExitCode.
Args RunRecorded(const std::string& Command, unsigned& ExitCode, const std::string& ChildExit = "0")
{
    const TTempDir dir;
    const std::string record = dir / "argv";
    const TEnvironmentVariable recordSwitch(TestSupport::kRecordArgsVariable, record);
    const TEnvironmentVariable exitSwitch(TestSupport::kChildExitVariable, ChildExit);
    ExitCode = ExecuteCommand(Command.c_str());
    return TestSupport::ReadRecordedArgs(record);
}

} // namespace

TEST(SplitArguments, FollowsTheWindowsRuntimeRules)
{
    struct {
        const char* Text;
        Args Expected;
    } const cases[] = {
        {"", {}},
        {" \t ", {}},
        {"a b\tc", {"a", "b", "c"}},
        {"  lead   and \t trail  ", {"lead", "and", "trail"}},
        {"\"a b\" c", {"a b", "c"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"a\"\"b", {"ab"}},
        {"\"a b\"c\" d\"", {"a bc d"}},
        {"\"unterminated  text", {"unterminated  text"}},
        {"a\\b\\\\c", {"a\\b\\\\c"}},       // backslashes not before a quote are literal
        {"a\\\"b", {"a\"b"}},               // 1 backslash + quote: literal quote
        {"a\\\\\"b c\"", {"a\\b c"}},       // 2 backslashes + quote: one backslash, quoting
        {"a\\\\\\\"b", {"a\\\"b"}},         // 3 backslashes + quote: one backslash, literal quote
        {"a\\\\\\\\\"b c\"", {"a\\\\b c"}}, // 4 backslashes + quote: two backslashes, quoting
        {"\"C:\\dir\\\" next", {"C:\\dir\" next"}},
        {"C:\\dir\\ next", {"C:\\dir\\", "next"}},
        {"$(touch x) ; `y` 'q r' |&>", {"$(touch", "x)", ";", "`y`", "'q", "r'", "|&>"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitArguments(c.Text), c.Expected) << "text: [" << c.Text << "]";
}

TEST(SplitCommandLine, FindsTheProgramAsWindowsProcessCreationDoes)
{
    const TTempDir dir;
    const std::string t = dir.Path();
    MakeExecutable(dir / "arch dir/prog");
    MakeExecutable(dir / "two"); // shadows "two words/prog": the shorter prefix wins
    MakeExecutable(dir / "two words/prog");
    MakeFile(dir / "plain", fs::perms::owner_read | fs::perms::owner_write); // not executable
    MakeExecutable(dir / "plain x/prog");
    fs::create_directories(dir / "adir"); // a directory is no program
    MakeExecutable(dir / "adir x/prog");
    MakeExecutable(dir / "bin/my tool");

    struct {
        std::string Command;
        TCommandLine Expected;
    } const cases[] = {
        {t + "/arch dir/prog a \"b c\"", {t + "/arch dir/prog", {"a", "b c"}}},
        {"  " + t + "/arch dir/prog", {t + "/arch dir/prog", {}}},
        {t + "/two words/prog a", {t + "/two", {"words/prog", "a"}}},
        {t + "/plain x/prog a", {t + "/plain x/prog", {"a"}}},
        {t + "/adir x/prog a", {t + "/adir x/prog", {"a"}}},
        {t + "/missing dir/prog a", {t + "/missing", {"dir/prog", "a"}}},
        {"\"" + t + "/arch dir/prog\" a b", {t + "/arch dir/prog", {"a", "b"}}},
        {"\"" + t + "/two\"glued a", {t + "/two", {"a"}}},
        {"\"" + t + "/never closed", {t + "/never closed", {}}},
        {"my tool arg", {"my tool", {"arg"}}}, // a plain name is looked up in PATH
        {"", {"", {}}},
    };
    const TEnvironmentVariable path("PATH", dir / "bin");
    for (const auto& c : cases) {
        const TCommandLine parts = SplitCommandLine(c.Command);
        EXPECT_EQ(parts.Program, c.Expected.Program) << "command: [" << c.Command << "]";
        EXPECT_EQ(parts.Arguments, c.Expected.Arguments) << "command: [" << c.Command << "]";
    }
}

TEST(ExecuteCommand, ChildReceivesTheArgumentsAsWindowsWouldPassThem)
{
    const std::string self = SelfPath();
    unsigned code = 99;
    const Args argv = RunRecorded(self + " a \"b c\"  d\\\"e \"\" \"\\\\server\\share\\\\\"", code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(argv, (Args{self, "a", "b c", "d\"e", "", "\\\\server\\share\\"}));
}

TEST(ExecuteCommand, UnquotedProgramPathWithBlanksRunsThatProgram)
{
    const TTempDir dir;
    const std::string program = dir / "dir with blanks/child";
    fs::create_directories(fs::path(program).parent_path());
    fs::create_symlink(SelfPath(), program);
    MakeFile(dir / "dir", fs::perms::owner_read); // a prefix that names a file, but no program

    unsigned code = 99;
    const Args argv = RunRecorded(program + " x", code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(argv, (Args{program, "x"}));
}

TEST(ExecuteCommand, ReturnsTheChildsExitCodeUnchanged)
{
    const std::string self = SelfPath();
    for (const char* exit : {"0", "1", "7", "255"}) {
        unsigned code = 99;
        RunRecorded(self, code, exit);
        EXPECT_EQ(code, static_cast<unsigned>(std::atoi(exit)));
    }
    unsigned code = 0;
    RunRecorded(self, code, "signal");
    EXPECT_EQ(code, 128u + SIGTERM); // a child ended by a signal never reads as success
}

TEST(ExecuteCommand, ExitCodeIsReadAlsoWhenTheProgramWasStartedWithChildSignalsIgnored)
{
    // An ignored SIGCHLD survives exec, so the program may inherit it; the system then reaps every child
    // itself, and a plain wait finds no child to read the exit code from.
    struct TIgnoredChildSignal {
        struct sigaction Old {};
        TIgnoredChildSignal()
        {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            EXPECT_EQ(sigaction(SIGCHLD, &ignore, &Old), 0);
        }
        ~TIgnoredChildSignal() { sigaction(SIGCHLD, &Old, nullptr); }
    } const ignored;

    unsigned code = 99;
    EXPECT_NO_THROW(RunRecorded(SelfPath(), code, "7"));
    EXPECT_EQ(code, 7u);
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN); // the program's own setting is left as it was
}

TEST(ExecuteCommand, ShellSyntaxIsPassedAsTextAndRunsNothing)
{
    const TTempDir dir;
    const std::string self = SelfPath();
    const std::string pwned = dir / "pwned";
    unsigned code = 99;
    const Args argv = RunRecorded(self + " $(touch " + pwned + ") ; touch " + pwned + " `touch " + pwned +
                                      "` \"&& touch " + pwned + "\" | touch " + pwned,
                                  code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(argv, (Args{self, "$(touch", pwned + ")", ";", "touch", pwned, "`touch", pwned + "`",
                          "&& touch " + pwned, "|", "touch", pwned}));
    EXPECT_FALSE(fs::exists(pwned));
}

TEST(ExecuteCommand, ConvertsTheCommandLineToTheUsersEncoding)
{
    const std::string self = SelfPath();
    const std::string word = "Журнал";
    unsigned code = 99;
    const Args argv = RunRecorded(self + " \"" + word + " №5\"", code);
    EXPECT_EQ(argv, (Args{self, BrintLib::Cp1251ToUser(word + " №5")}));
}

TEST(ExecuteCommand, ChildInheritsOnlyTheConsole)
{
    const TTempDir dir;
    // A descriptor that a plain open() leaves inheritable across exec, moved high up.
    const int low = open((dir / "held").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(low, 0);
    const int held = fcntl(low, F_DUPFD, 100);
    close(low);
    ASSERT_GE(held, 100);
    const TEnvironmentVariable fdsSwitch(TestSupport::kRecordFdsVariable, dir / "fds");
    unsigned code = 99;
    RunRecorded(SelfPath(), code);
    close(held);
    std::ifstream fds(dir / "fds");
    std::vector<int> seen;
    for (int fd = 0; fds >> fd;)
        seen.push_back(fd);
    // Standard input, output and error, then the child's own: the file it writes and the listing.
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(ExecuteCommand, ProgramThatCannotStartIsAnApplicationFailure)
{
    const TTempDir dir;
    MakeFile(dir / "not executable", fs::perms::owner_read | fs::perms::owner_write);
    struct {
        std::string Command;
        int Error;
    } const cases[] = {
        {dir / "no such program" + " a -x \"q\"", ENOENT},
        {"skerrow-no-such-program-in-path arg", ENOENT},
        {"\"" + dir / "not executable" + "\" arg", EACCES},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        const std::string expected = "Error on executing command '" + c.Command +
                                     "' with starting dir 'NULL': " + BrintLib::GetErrorDescription(c.Error);
        EXPECT_EQ(FailureOf([&] { ExecuteCommand(c.Command.c_str()); }), expected);
    }
    EXPECT_EQ(BrintLib::GetErrorDescription(ENOENT), "No such file or directory");
}
