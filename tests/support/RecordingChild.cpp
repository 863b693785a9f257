#include "RecordingChild.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ProcessRunner.h"

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

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

} // namespace TestSupport
