// Skerrow: makes an offline copy of one issue of an on-line magazine.
//   Skerrow <URL of the contents page> <save path> [archiver]
//   Skerrow --help | --version

#include <malloc.h>

#include <csignal>
#include <string>
#include <vector>

#include "Driver.h"

int main(int argc, char* argv[])
{
    // A write past the user's file-size limit then fails like a full disk (the task reports it and the
    // run goes on) instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // Every transfer allocates and frees its receive buffer (128 KB): memory freed stays with the process
    // for the next, where malloc's defaults would hand it back to the kernel and fault it in again, page by
    // page (a third of the page faults and a tenth of the CPU on the large issue). Pages of several MB
    // still come and go on their own mappings.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    return RunSkerrow(std::vector<std::string>(argv, argv + argc));
}
