#include "libs/Auxiliary.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "libs/Exceptions.h"
#include "libs/FileSystem.h"

namespace BrintLib {

std::string GetModuleDir()
{
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    FATAL_CHECK(length > 0 && static_cast<size_t>(length) < buffer.size());
    std::string path(buffer.data(), static_cast<size_t>(length));
    return path.substr(0, path.rfind(kPathSeparator) + 1);
}

std::string GetTimeString()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    FATAL_CHECK(localtime_r(&now, &local) != nullptr);
    char buffer[10];
    FATAL_CHECK(std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local) != 0);
    return buffer;
}

std::string GetErrorDescription(int Code)
{
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = strerror_r(Code, buffer, sizeof buffer);
    if (text == nullptr || *text == '\0')
        return "Невозможно получить описание ошибки";
    std::string description(text);
    while (!description.empty()) {
        const char last = description.back();
        if (last != '\n' && last != '\r' && last != '.')
            break;
        description.pop_back();
    }
    return description;
}

std::string GetWin32ErrorDescription(unsigned Error)
{
    return GetErrorDescription(static_cast<int>(Error));
}

} // namespace BrintLib
