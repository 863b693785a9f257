// Skerrow: makes an offline copy of one issue of an on-line magazine.
//   Skerrow <URL of the contents page> <save path> [archiver]
//   Skerrow --help | --version

#include <csignal>
#include <string>
#include <vector>

#include "Driver.h"

int main(int argc, char* argv[])
{
    // A write past the user's file-size limit then fails like a full disk (the task reports it and the
    // run goes on) instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return RunSkerrow(std::vector<std::string>(argv, argv + argc));
}
