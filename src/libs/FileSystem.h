// File-system helpers. Paths are windows-1251 byte strings; they are converted to the user's encoding at
// each system call. Failures are returned as errno values (0 is success), never raised.
#pragma once

#include <string>

namespace BrintLib {

/// The one path separator of this platform; every composed path uses it.
constexpr char kPathSeparator = '/';

/// Converts a windows-1251 path to the user's encoding for a system call.
std::string NativePath(const std::string& Path);

/// True when something (file, directory, link) is named Path.
bool PathExists(const std::string& Path);

} // namespace BrintLib
