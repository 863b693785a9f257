#include "libs/FileSystem.h"

#include <sys/stat.h>

#include "libs/CoutConvert.h"

namespace BrintLib {

std::string NativePath(const std::string& Path)
{
    return Cp1251ToUser(Path);
}

bool PathExists(const std::string& Path)
{
    struct stat info;
    return lstat(NativePath(Path).c_str(), &info) == 0;
}

} // namespace BrintLib
