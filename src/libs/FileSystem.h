// File-system helpers. Paths are windows-1251 byte strings, with the system's own bytes of a path given
// on the command line kept as they came (SystemPathToText); they are converted to the user's encoding at
// each system call (NativePath). Failures are returned as errno values (0 is success), never raised. Tests
// make any of the calls fail through FileSystemFaults.h.
#pragma once

#include <string>

namespace BrintLib {

/// The one path separator of this platform; every composed path uses it.
constexpr char kPathSeparator = '/';

/// Converts a windows-1251 path to the user's encoding for a system call; the system's bytes in it
/// (SystemPathToText) are given back unchanged.
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

/// Whether the directory Dir can hold new files, without creating anything: Dir itself when it exists,
/// otherwise its nearest existing parent, must be a directory that this process may write and search.
/// Returns 0, or the errno that says why not (ENOTDIR for a file on the way, EACCES, ELOOP, ...). An empty
/// Dir gives ENOENT.
unsigned CheckDirectoryPath(const std::string& Dir);

/// An exclusive flock on a directory, held while the object lives (and by no other open of it, in this
/// process or another). Not copyable.
class TDirectoryLock {
  public:
    TDirectoryLock() = default;
    ~TDirectoryLock();
    TDirectoryLock(const TDirectoryLock&) = delete;
    TDirectoryLock& operator=(const TDirectoryLock&) = delete;

    /// Locks Dir without waiting; returns 0, EWOULDBLOCK when another holds it, or the errno of the open.
    /// A lock held before is released first.
    int Lock(const std::string& Dir);
    /// Releases the lock, if one is held.
    void Unlock();
    bool IsLocked() const { return m_Fd >= 0; }

  private:
    int m_Fd = -1;
};

/// Removes every temporary of TAtomicFile (".NAME.ID.part") in Dir and its subdirectories, without
/// following links. Only for the holder of Dir's lock: no temporary there can then be another run's.
/// Returns the number removed.
size_t RemoveTemporaries(const std::string& Dir);

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
    std::string m_Path; ///< NativePath of the file while it is open
};

/// A file that appears under its name only whole. It is written to a temporary beside it, named "." +
/// the file's name + "." + the process id + ".part" (a name the program never gives a file of its own,
/// and that no other run at the same time takes), created new with O_EXCL; Commit renames the temporary
/// to the name without ever replacing anything. Until then nothing is created under the name, and the
/// destructor removes a temporary that was not committed, so a failure at any point leaves nothing
/// behind but what was there before. A temporary that exists already is never touched: only its maker,
/// or the holder of the directory's lock (RemoveTemporaries), removes it. The temporary is held open only
/// within Create and each Write, so that any number of files being written holds no file handle between
/// the calls.
class TAtomicFile {
  public:
    TAtomicFile() = default;
    /// Discard().
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    /// The temporary that stands for Path while it is written.
    static std::string TemporaryPath(const std::string& Path);

    /// Creates the temporary of Path. Returns 0 or the errno of the failure (EEXIST when something has
    /// the temporary's name, ENOENT for a missing directory, EACCES, EMFILE, ...). Must not be open
    /// already (fatal check).
    int Create(const std::string& Path);
    /// Between a successful Create and Commit or Discard.
    bool IsOpen() const { return !m_Temporary.empty(); }
    /// Appends Length bytes to the temporary (opened, without following a link, written and closed);
    /// returns 0 or the errno of the failing call. Must be open (fatal check).
    int Write(const char* Data, size_t Length);
    /// Renames the temporary to the name given to Create, never over anything that exists (renameat2 with
    /// RENAME_NOREPLACE; link and unlink where the file system has no such rename). Returns 0, or the
    /// errno of the failure, EEXIST when something appeared under the name meanwhile; on failure the
    /// temporary is removed. Must be open (fatal check).
    int Commit();
    /// Commit for a file that replaces what stands under its name (rename(2): whoever reads the name finds
    /// the old file or the new one whole). Returns 0 or the errno of the failure; on failure the temporary
    /// is removed. Must be open (fatal check).
    int CommitReplacing();
    /// Removes the temporary, if one is open; nothing when there is none.
    void Discard();

  private:
    std::string m_Path;      ///< the name the file gets on Commit
    std::string m_Temporary; ///< NativePath of the temporary while it is open
};

} // namespace BrintLib
