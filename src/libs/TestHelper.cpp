#include "libs/TestHelper.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"

extern char** environ;

namespace BrintLib {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

/// True when Path names a regular file that this process may execute.
bool IsExecutableFile(const std::string& Path)
{
    struct stat info;
    return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(Path.c_str(), X_OK) == 0;
}

/// Waits for the child Pid to end, retrying when a signal interrupts the wait.
bool WaitForChild(pid_t Pid, int& Status)
{
    for (;;) {
        if (waitpid(Pid, &Status, 0) == Pid)
            return true;
        if (errno != EINTR)
            return false;
    }
}

/// Gives SIGCHLD its default action while the object lives, and then restores what was set before. The
/// program may have been started with SIGCHLD ignored (that setting survives exec); the system would then
/// reap the child by itself, and waiting for it would find no child and no exit code.
class TDefaultChildSignal {
  public:
    TDefaultChildSignal()
    {
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        sigemptyset(&defaultAction.sa_mask);
        APL_ERROR(sigaction(SIGCHLD, &defaultAction, &m_Old) == 0);
    }
    ~TDefaultChildSignal() { sigaction(SIGCHLD, &m_Old, nullptr); }
    TDefaultChildSignal(const TDefaultChildSignal&) = delete;
    TDefaultChildSignal& operator=(const TDefaultChildSignal&) = delete;

  private:
    struct sigaction m_Old {};
};

/// Owns the file actions of one child start.
class TSpawnFileActions {
  public:
    TSpawnFileActions() { APL_ERROR(posix_spawn_file_actions_init(&m_Actions) == 0); }
    ~TSpawnFileActions() { posix_spawn_file_actions_destroy(&m_Actions); }
    TSpawnFileActions(const TSpawnFileActions&) = delete;
    TSpawnFileActions& operator=(const TSpawnFileActions&) = delete;

    posix_spawn_file_actions_t* Get() { return &m_Actions; }

  private:
    posix_spawn_file_actions_t m_Actions;
};

} // namespace

bool NamesProgram(const std::string& Name)
{
    if (Name.empty())
        return false;
    if (Name.find('/') != std::string::npos)
        return IsExecutableFile(Name);
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (IsExecutableFile(dir.empty() ? Name : dir + "/" + Name))
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

std::vector<std::string> SplitArguments(const std::string& Text)
{
    std::vector<std::string> arguments;
    const size_t size = Text.size();
    size_t i = 0;
    for (;;) {
        while (i < size && IsBlank(Text[i]))
            ++i;
        if (i == size)
            return arguments;
        std::string argument;
        bool quoted = false;
        while (i < size && (quoted || !IsBlank(Text[i]))) {
            const char c = Text[i];
            if (c == '\\') {
                size_t end = i;
                while (end < size && Text[end] == '\\')
                    ++end;
                const size_t count = end - i;
                if (end < size && Text[end] == '"') {
                    argument.append(count / 2, '\\');
                    if (count % 2 == 1)
                        argument += '"';
                    else
                        quoted = !quoted;
                    i = end + 1;
                } else {
                    argument.append(count, '\\');
                    i = end;
                }
            } else if (c == '"') {
                quoted = !quoted;
                ++i;
            } else {
                argument += c;
                ++i;
            }
        }
        arguments.push_back(argument);
    }
}

TCommandLine SplitCommandLine(const std::string& CommandLine)
{
    const size_t size = CommandLine.size();
    size_t begin = 0;
    while (begin < size && IsBlank(CommandLine[begin]))
        ++begin;

    TCommandLine result;
    size_t rest = begin; // where the argument text starts
    if (begin < size && CommandLine[begin] == '"') {
        const size_t close = CommandLine.find('"', begin + 1);
        result.Program =
            CommandLine.substr(begin + 1, close == std::string::npos ? std::string::npos : close - begin - 1);
        rest = close == std::string::npos ? size : close + 1;
        while (rest < size && !IsBlank(CommandLine[rest]))
            ++rest;
    } else {
        // Every prefix that ends before a blank, shortest first; the first word is the fallback.
        size_t firstEnd = std::string::npos;
        for (size_t end = begin; end <= size; ++end) {
            if (end < size && !IsBlank(CommandLine[end]))
                continue;
            if (end == begin || IsBlank(CommandLine[end - 1]))
                continue;
            if (firstEnd == std::string::npos)
                firstEnd = end;
            const std::string candidate = CommandLine.substr(begin, end - begin);
            if (NamesProgram(candidate)) {
                result.Program = candidate;
                rest = end;
                break;
            }
        }
        if (result.Program.empty() && firstEnd != std::string::npos) {
            result.Program = CommandLine.substr(begin, firstEnd - begin);
            rest = firstEnd;
        }
    }
    result.Arguments = SplitArguments(CommandLine.substr(rest));
    return result;
}

unsigned ExecuteCommand(const char* Command, const char* StartingDir)
{
    FATAL_CHECK(TestPtr__(Command));
    const std::string command(Command);
    TCommandLine parts = SplitCommandLine(Cp1251ToUser(command));
    // A relative path of the program names it from here, not from the child's starting directory.
    if (StartingDir != nullptr && parts.Program.find('/') != std::string::npos && parts.Program[0] != '/') {
        std::vector<char> here(PATH_MAX);
        APL_ERROR(getcwd(here.data(), here.size()) != nullptr);
        parts.Program = std::string(here.data()) + "/" + parts.Program;
    }

    std::vector<char*> argv;
    argv.push_back(parts.Program.data());
    for (std::string& argument : parts.Arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The child inherits the console and nothing else that this process has open; what this process
    // wrote comes first.
    std::cout.flush();
    TSpawnFileActions actions;
    APL_ERROR(posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1) == 0);
    const std::string startingDir = StartingDir == nullptr ? std::string() : Cp1251ToUser(StartingDir);
    if (StartingDir != nullptr)
        APL_ERROR(posix_spawn_file_actions_addchdir_np(actions.Get(), startingDir.c_str()) == 0);
    // From the start of the child until it has been waited for.
    const TDefaultChildSignal childSignal;
    pid_t pid = 0;
    // posix_spawnp looks a plain name up in PATH; a name with '/' is used as it is. Neither runs a shell.
    const int error = posix_spawnp(&pid, parts.Program.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (error != 0)
        APL_THROW("Error on executing command '"
                  << command << "' with starting dir '" << (StartingDir == nullptr ? "NULL" : StartingDir)
                  << "': " << GetWin32ErrorDescription(static_cast<unsigned>(error)));

    int status = 0;
    APL_ERROR(WaitForChild(pid, status));
    if (WIFEXITED(status))
        return static_cast<unsigned>(WEXITSTATUS(status));
    return 128u + static_cast<unsigned>(WTERMSIG(status));
}

} // namespace BrintLib
