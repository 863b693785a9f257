// The run's error log: errors.txt beside the executable, each entry echoed on the console.
#pragma once

#include <cstddef>
#include <string>

/// Appends Entry to errors.txt and echoes it on the console, with every control byte but tab and line
/// feed shown as '?' in both (the entry quotes text from the network). A log that cannot be written loses
/// the entry silently.
void LogError(const std::string& Entry);

/// The number of entries given to LogError since the program started, written or lost.
size_t LoggedErrorCount();

/// The full path of errors.txt, in the user's encoding: beside the executable unless
/// SetErrorLogDirectory named another directory.
std::string ErrorLogPath();

/// Puts errors.txt into Dir (ending with the path separator) from now on; an empty Dir puts it back
/// beside the executable. The program never calls it: it lets a test keep a log of its own.
void SetErrorLogDirectory(const std::string& Dir);
