// Skerrow: makes an offline copy of one issue of an on-line magazine.
//   Skerrow <URL of the contents page> <save path> [archiver]

#include <string>
#include <vector>

#include "Driver.h"

int main(int argc, char* argv[])
{
    return RunSkerrow(std::vector<std::string>(argv, argv + argc));
}
