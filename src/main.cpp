// Skerrow: makes an offline copy of one issue of an on-line magazine.
//   Skerrow <URL of the contents page> <save path> [archiver]

#include <string>
#include <vector>

#include "Driver.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"

int main(int argc, char* argv[])
{
    // Arguments arrive in the user's encoding; inside, every text is windows-1251.
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string converted;
        if (!BrintLib::UserToCp1251(argv[i], converted)) {
            BrintLib::ReportAplException(__FILE__, __LINE__,
                                         (std::string("Аргумент ") + std::to_string(i) +
                                          " командной строки не может быть представлен в кодировке windows-1251")
                                             .c_str());
            return 0;
        }
        args.push_back(converted);
    }
    return RunSkerrow(args);
}
