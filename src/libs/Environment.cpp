#include "libs/Environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "libs/Exceptions.h"

namespace BrintLib {

const std::vector<TEnvironmentSetting>& EnvironmentSettings()
{
    static const std::vector<TEnvironmentSetting> settings = {
        // The per-host habit of browsers by default; at most far below FD_SETSIZE, whatever else the
        // process has open.
        {"SKERROW_CONNECTIONS", 1, 64, 6, "передач одновременно (1 - по одной)"},
        {"SKERROW_STALL_SECONDS", 1, 24 * 60 * 60, 60,
         "секунд без данных, после которых передача не удалась"},
        {"SKERROW_RETRIES", 0, 10, 2, "повторов передачи после преходящей ошибки (0 - без повторов)"},
        {"SKERROW_MAX_PICTURE_MB", 1, 1024 * 1024, 256, "мегабайт в картинке самое большее"},
    };
    return settings;
}

const TEnvironmentSetting& FindSetting(const char* Name)
{
    for (const TEnvironmentSetting& setting : EnvironmentSettings())
        if (std::strcmp(setting.Name, Name) == 0)
            return setting;
    FATAL_CHECK(!"a setting of the table");
    return EnvironmentSettings().front();
}

long WholeNumberFromEnvironment(const char* Name)
{
    const TEnvironmentSetting& setting = FindSetting(Name);
    const char* text = std::getenv(setting.Name);
    if (text == nullptr || *text == '\0')
        return setting.Default;
    char* end = nullptr;
    errno = 0;
    const long value = *text >= '0' && *text <= '9' ? std::strtol(text, &end, 10) : -1;
    if (end == nullptr || *end != '\0' || errno != 0 || value < setting.Min || value > setting.Max)
        APL_THROW("Переменная окружения " << setting.Name << "=" << text
                                          << " недопустима: нужно целое число от " << setting.Min << " до "
                                          << setting.Max);
    return value;
}

void CheckEnvironmentSettings()
{
    for (const TEnvironmentSetting& setting : EnvironmentSettings())
        WholeNumberFromEnvironment(setting.Name);
}

} // namespace BrintLib
