#include "support/ProcessRunner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "libs/FileSystem.h"

extern char** environ;

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

class TPipe {
  public:
    TPipe()
    {
        if (pipe2(m_Fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~TPipe()
    {
        CloseRead();
        CloseWrite();
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    int Read() const { return m_Fd[0]; }
    int Write() const { return m_Fd[1]; }
    void CloseRead() { Close(m_Fd[0]); }
    void CloseWrite() { Close(m_Fd[1]); }

  private:
    static void Close(int& Fd)
    {
        if (Fd >= 0)
            close(Fd);
        Fd = -1;
    }
    int m_Fd[2];
};

std::vector<std::string> MergeEnvironment(const std::vector<std::string>& Extra)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : Extra)
            replaced = replaced || extra.compare(0, name.size(), name) == 0;
        if (!replaced)
            result.push_back(text);
    }
    result.insert(result.end(), Extra.begin(), Extra.end());
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& Strings)
{
    std::vector<char*> result;
    for (std::string& s : Strings)
        result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

int ActAsRecordingChildWhenAsked()
{
    const char* record = std::getenv(kRecordArgsVariable);
    if (record == nullptr)
        return 0;
    {
        std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
        std::ofstream(record, std::ios::binary) << cmdline.rdbuf();
    }
    // Opened only now, so that the listing shows the child's own descriptors as this file and the
    // directory being read, right after whatever it inherited.
    if (const char* fdsFile = std::getenv(kRecordFdsVariable)) {
        std::ofstream fds(fdsFile);
        for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd"))
            fds << fd.path().filename().string() << '\n';
    }
    const char* code = std::getenv(kChildExitVariable);
    if (code != nullptr && std::string(code) == "signal")
        std::raise(SIGTERM);
    _exit(code == nullptr ? 0 : std::atoi(code));
}

// Runs while the test program starts, before main and before any test.
const int g_RecordingChild = ActAsRecordingChildWhenAsked();

} // namespace

TProcessResult RunProcess(const std::vector<std::string>& Args, const std::vector<std::string>& ExtraEnv,
                          const std::string& WorkDir)
{
    TPipe out;
    TPipe err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.Write(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.Write(), 2);
    if (!WorkDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, WorkDir.c_str());

    std::vector<std::string> argStrings = Args;
    std::vector<std::string> envStrings = MergeEnvironment(ExtraEnv);
    std::vector<char*> argv = Pointers(argStrings);
    std::vector<char*> envp = Pointers(envStrings);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error(std::string("cannot start ") + Args[0] + ": " + std::strerror(rc));
    out.CloseWrite();
    err.CloseWrite();

    TProcessResult result;
    pollfd fds[2] = {{out.Read(), POLLIN, 0}, {err.Read(), POLLIN, 0}};
    std::string* sinks[2] = {&result.Stdout, &result.Stderr};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.ExitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.Signal = WTERMSIG(status);
    return result;
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream file(Path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void WriteFile(const std::string& Path, const std::string& Content)
{
    BrintLib::TNewFile file;
    ASSERT_EQ(file.Create(Path), 0) << Path;
    ASSERT_EQ(file.Write(Content.data(), Content.size()), 0);
    ASSERT_EQ(file.Close(), 0);
}

std::string SelfPath()
{
    return fs::read_symlink("/proc/self/exe").string();
}

std::vector<std::string> ReadRecordedArgs(const std::string& Path)
{
    const std::string text = ReadFile(Path);
    std::vector<std::string> argv;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\0', start);
        argv.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return argv;
}

TEnvironmentVariable::TEnvironmentVariable(const char* Name, const std::string& Value) : m_Name(Name)
{
    if (const char* old = std::getenv(Name)) {
        m_Old = old;
        m_HadOld = true;
    }
    setenv(Name, Value.c_str(), 1);
}

TEnvironmentVariable::~TEnvironmentVariable()
{
    if (m_HadOld)
        setenv(m_Name, m_Old.c_str(), 1);
    else
        unsetenv(m_Name);
}

TSkerrowCopy::TSkerrowCopy() : m_Exe(m_Dir / "Skerrow")
{
    fs::copy_file(SKERROW_EXE, m_Exe);
    fs::permissions(m_Exe, fs::perms::owner_all);
}

TProcessResult TSkerrowCopy::Run(const std::string& ProxyUrl, const std::string& Url,
                                 const std::string& SavePath) const
{
    return RunProcess(
        {m_Exe, Url, SavePath},
        {"http_proxy=" + ProxyUrl, "no_proxy=", "NO_PROXY=", "HTTP_PROXY=", "LANG=C.UTF-8", "LC_ALL="},
        m_Dir.Path());
}

std::string TSkerrowCopy::ErrorLog() const
{
    return ReadFile(m_Dir / "errors.txt");
}

} // namespace TestSupport
