#include "libs/Environment.h"

#include <cerrno>
#include <cstdlib>

namespace BrintLib {

long WholeNumberFromEnvironment(const char* Name, long Min, long Max, long Default)
{
    const char* text = std::getenv(Name);
    if (text == nullptr || *text < '0' || *text > '9' || (text[0] == '0' && text[1] != '\0'))
        return Default;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && value >= Min && value <= Max ? value : Default;
}

} // namespace BrintLib
