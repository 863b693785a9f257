// Small platform helpers: the executable's directory, the time of day as text, system error texts.
#pragma once

#include <string>

namespace BrintLib {

/// The directory of the running executable, with a trailing separator.
std::string GetModuleDir();

/// The current local time of day, "HH:MM:SS" (24-hour).
std::string GetTimeString();

/// The system's text for an error number (errno), without trailing line ends and full stops;
/// "Невозможно получить описание ошибки" when the system has none.
std::string GetErrorDescription(int Code);
/// Same as GetErrorDescription: on this platform system errors are errno values already.
std::string GetWin32ErrorDescription(unsigned Error);

} // namespace BrintLib
