#include "TempDir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ErrorLog.h"

namespace TestSupport {

namespace {

int RemoveEntry(const char* Path, const struct stat* /*Info*/, int Type, FTW* /*Walk*/)
{
    // Best effort: whatever cannot be removed stays, and the walk goes on.
    if (Type == FTW_DP)
        rmdir(Path);
    else
        unlink(Path);
    return 0;
}

} // namespace

TPrivateErrorLog::TPrivateErrorLog()
{
    SetErrorLogDirectory(m_Dir.Path() + "/");
}

TPrivateErrorLog::~TPrivateErrorLog()
{
    SetErrorLogDirectory("");
}

TTempDir::TTempDir()
{
    std::vector<char> name(std::begin("/tmp/skerrow-test-XXXXXX"), std::end("/tmp/skerrow-test-XXXXXX"));
    if (mkdtemp(name.data()) == nullptr) {
        std::perror("TTempDir: mkdtemp");
        std::abort();
    }
    m_Path = name.data();
}

TTempDir::~TTempDir()
{
    nftw(m_Path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

TFileSizeLimit::TFileSizeLimit(rlim_t Bytes)
{
    m_PreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (getrlimit(RLIMIT_FSIZE, &m_Previous) != 0) {
        std::perror("TFileSizeLimit: getrlimit");
        std::abort();
    }
    rlimit limit = m_Previous;
    limit.rlim_cur = Bytes;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        std::perror("TFileSizeLimit: setrlimit");
        std::abort();
    }
}

TFileSizeLimit::~TFileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &m_Previous);
    std::signal(SIGXFSZ, m_PreviousHandler);
}

} // namespace TestSupport
