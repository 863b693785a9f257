// Skerrow: makes an offline copy of one issue of an on-line magazine.
//   Skerrow <URL of the contents page> <save path> [archiver]
//   Skerrow --help | --version

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "Driver.h"

namespace {

/// Open files a run needs at most: at 64 transfers, a socket and a temporary for each transfer in
/// flight and for those begun ahead, with room to spare.
constexpr rlim_t kOpenFilesNeeded = 1024;

} // namespace

int main(int argc, char* argv[])
{
    // A write past the user's file-size limit then fails like a full disk (the task reports it and the
    // run goes on) instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // A low soft limit of open files is raised as far as the hard limit lets; what is still short stops
    // the run like a full disk.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        files.rlim_cur < kOpenFilesNeeded) {
        files.rlim_cur =
            files.rlim_max == RLIM_INFINITY ? kOpenFilesNeeded : std::min(files.rlim_max, kOpenFilesNeeded);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    return RunSkerrow(std::vector<std::string>(argv, argv + argc));
}
