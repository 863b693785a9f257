// The run's error log: errors.txt beside the executable (or, when that cannot be written, in the save
// path), each entry echoed on standard error.
#pragma once

#include <cstddef>
#include <string>

/// Appends Entry to errors.txt and echoes it on standard error, with every control byte but tab and line
/// feed shown as '?' in both (the entry quotes text from the network). When errors.txt cannot be written
/// beside the executable, the entry goes to errors.txt in the fallback directory (SetFallbackLogDirectory);
/// when neither can be written, the entry is only on the console.
void LogError(const std::string& Entry);

/// The number of entries given to LogError since the program started, written or lost.
size_t LoggedErrorCount();

/// The number of entries that reached a file since the program started.
size_t WrittenErrorCount();

/// The full path, in the user's encoding, of the file that took the last entry written; empty before.
std::string WrittenLogPath();

/// The full path of errors.txt, in the user's encoding: beside the executable unless
/// SetErrorLogDirectory named another directory.
std::string ErrorLogPath();

/// Puts errors.txt into Dir (ending with the path separator) from now on; an empty Dir puts it back
/// beside the executable. The program never calls it: it lets a test keep a log of its own.
void SetErrorLogDirectory(const std::string& Dir);

/// The directory (windows-1251, the run's save path) whose errors.txt takes the entries that cannot be
/// written to ErrorLogPath(); empty for none.
void SetFallbackLogDirectory(const std::string& Dir);
