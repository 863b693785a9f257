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

/// Creates the directory Dir together with every missing parent; levels that exist already (also through
/// a symbolic link to a directory) are left as they are. Stops at the first level that cannot be created
/// and returns its errno (EEXIST when a level is an existing file); what was created until then stays.
/// A trailing separator makes no difference; an empty Dir gives ENOENT. Returns 0 on success.
unsigned CreateFullPath(const std::string& Dir);

/// Deletes the directory Dir with everything below it, depth first. Never follows a symbolic link: a link
/// inside the tree is removed as a file, and a Dir that is itself a link is refused (ENOTDIR) and left alone.
/// Returns 0 on success, otherwise the errno of the first failing call (ENOENT when nothing is named
/// Dir); what was deleted until then stays deleted.
unsigned RemoveDirectoryTree(const std::string& Dir);

/// A file that is created new for writing and never opened over anything that exists: the creation is
/// atomic (O_CREAT | O_EXCL), so it also refuses a symbolic link planted at the target. Writes go
/// straight to the file, unbuffered. The destructor closes the file if it is still open; a file that was
/// created stays on disk, whatever was written to it.
class TNewFile {
public:
    TNewFile() = default;
    ~TNewFile();
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    /// Creates Path and keeps it open. Returns 0, or the errno of the failure: EEXIST when anything is
    /// named Path. The file must not be open already (fatal check).
    int Create(const std::string& Path);
    bool IsOpen() const { return m_Fd >= 0; }
    /// Writes all Length bytes at the end of what was written before; returns 0 or the errno of the
    /// failing write (ENOSPC, EFBIG, ...). The file must be open (fatal check).
    int Write(const char* Data, size_t Length);
    /// Closes the file if it is open; returns 0 or the errno of the failing close.
    int Close();

private:
    int m_Fd = -1;
};

} // namespace BrintLib
