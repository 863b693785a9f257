#include "libs/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/FileSystemFaults.h"

namespace BrintLib {

namespace {

/// What a test installed to make calls fail (FileSystemFaults.h); null in the program.
std::atomic<IFileFaults*> g_FileFaults{nullptr};

/// 0, or the errno (also left in errno) with which a test makes this call fail.
int Fault(TFileCall Call, const char* Path)
{
    IFileFaults* const faults = g_FileFaults.load(std::memory_order_acquire);
    if (faults == nullptr)
        return 0;
    const int error = faults->Before(Call, Path);
    if (error != 0)
        errno = error;
    return error;
}

// The system calls that may fail on their own, each through Fault first. Paths are native.
int OpenPath(const char* Path, int Flags, mode_t Mode = 0)
{
    return Fault(TFileCall::Open, Path) != 0 ? -1 : open(Path, Flags, Mode);
}
int OpenAt(int DirFd, const char* Name, int Flags)
{
    return Fault(TFileCall::Open, Name) != 0 ? -1 : openat(DirFd, Name, Flags);
}
DIR* OpenListing(const char* Path)
{
    return Fault(TFileCall::List, Path) != 0 ? nullptr : opendir(Path);
}
/// Closes Fd, which is released whatever the result.
int ClosePath(int Fd, const char* Path)
{
    if (Fault(TFileCall::Close, Path) != 0) {
        const int error = errno;
        close(Fd);
        errno = error;
        return -1;
    }
    return close(Fd);
}
int MakeDir(const char* Path)
{
    return Fault(TFileCall::MakeDir, Path) != 0 ? -1 : mkdir(Path, 0777);
}
int RemoveFile(const char* Path)
{
    return Fault(TFileCall::Remove, Path) != 0 ? -1 : unlink(Path);
}
int RemoveDir(const char* Path)
{
    return Fault(TFileCall::Remove, Path) != 0 ? -1 : rmdir(Path);
}
int RemoveAt(int DirFd, const char* Name, int Flags)
{
    return Fault(TFileCall::Remove, Name) != 0 ? -1 : unlinkat(DirFd, Name, Flags);
}

/// Writes all Length bytes of Data to Fd (the file Path); returns 0 or the errno of the failing write.
int WriteAll(int Fd, const char* Path, const char* Data, size_t Length)
{
    while (Length > 0) {
        const ssize_t written = Fault(TFileCall::Write, Path) != 0 ? -1 : write(Fd, Data, Length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        Data += written;
        Length -= static_cast<size_t>(written);
    }
    return 0;
}

unsigned LastError()
{
    return static_cast<unsigned>(errno);
}

/// True when Path names a directory, or a symbolic link to one.
bool IsDirectory(const std::string& Path)
{
    struct stat info;
    return stat(NativePath(Path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

const char kTemporarySuffix[] = ".part";

/// True for a name of TAtomicFile's temporaries: ".", a name, ".", digits, ".part".
bool IsTemporaryName(const std::string& Name)
{
    const size_t suffix = sizeof(kTemporarySuffix) - 1;
    if (Name.size() < suffix + 4 || Name[0] != '.' ||
        Name.compare(Name.size() - suffix, suffix, kTemporarySuffix) != 0)
        return false;
    const size_t digitsEnd = Name.size() - suffix;
    size_t digits = digitsEnd;
    while (digits > 1 && Name[digits - 1] >= '0' && Name[digits - 1] <= '9')
        --digits;
    return digits < digitsEnd && digits > 2 && Name[digits - 1] == '.';
}

/// Owns one directory listing.
class TDirListing {
  public:
    explicit TDirListing(DIR* Listing) : m_Listing(Listing) {}
    ~TDirListing() { FATAL_CHECK(closedir(m_Listing) == 0); }
    TDirListing(const TDirListing&) = delete;
    TDirListing& operator=(const TDirListing&) = delete;

    DIR* Get() const { return m_Listing; }

  private:
    DIR* m_Listing;
};

/// Deletes everything inside the directory open as Fd, which this takes over and closes. Each
/// subdirectory is opened relative to its parent without following links, so a link swapped in for a
/// directory meanwhile is never descended into.
unsigned EmptyDirectory(int Fd)
{
    DIR* listing = fdopendir(Fd);
    if (listing == nullptr) {
        const unsigned error = LastError();
        close(Fd);
        return error;
    }
    const TDirListing guard(listing);
    const int dirFd = dirfd(listing);

    // Read the whole listing before deleting anything: entries removed while a listing is read may
    // make it skip others.
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }

    for (const std::string& name : names) {
        struct stat info;
        if (fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return LastError();
        if (!S_ISDIR(info.st_mode)) {
            if (RemoveAt(dirFd, name.c_str(), 0) != 0)
                return LastError();
            continue;
        }
        const int childFd = OpenAt(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0)
            return LastError();
        if (const unsigned error = EmptyDirectory(childFd))
            return error;
        if (RemoveAt(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
            return LastError();
    }
    return 0;
}

} // namespace

std::string NativePath(const std::string& Path)
{
    return Cp1251ToUser(Path);
}

bool PathExists(const std::string& Path)
{
    struct stat info;
    return lstat(NativePath(Path).c_str(), &info) == 0;
}

unsigned CreateFullPath(const std::string& Dir)
{
    if (Dir.empty())
        return ENOENT;
    // Each level in turn, from the first: "a/", "a/b/", "a/b/c".
    size_t end = 0;
    while (end < Dir.size()) {
        const size_t separator = Dir.find(kPathSeparator, end);
        end = separator == std::string::npos ? Dir.size() : separator + 1;
        const std::string level = Dir.substr(0, end);
        if (IsDirectory(level))
            continue;
        if (MakeDir(NativePath(level).c_str()) != 0) {
            const unsigned error = LastError();
            // Another process may have created the same level meanwhile.
            if (error != EEXIST || !IsDirectory(level))
                return error;
        }
    }
    return 0;
}

unsigned RemoveDirectoryTree(const std::string& Dir)
{
    // Without its trailing separators, so that a link named Dir is not resolved by the open below.
    std::string path = Dir;
    while (path.size() > 1 && path.back() == kPathSeparator)
        path.pop_back();
    const std::string native = NativePath(path);

    const int fd = OpenPath(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    if (const unsigned error = EmptyDirectory(fd))
        return error;
    // Something created inside meanwhile makes this fail with ENOTEMPTY.
    if (RemoveDir(native.c_str()) != 0)
        return LastError();
    return 0;
}

unsigned CheckDirectoryPath(const std::string& Dir)
{
    if (Dir.empty())
        return ENOENT;
    std::string level = Dir;
    for (;;) {
        while (level.size() > 1 && level.back() == kPathSeparator)
            level.pop_back();
        struct stat info;
        if (stat(NativePath(level).c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return ENOTDIR;
            return access(NativePath(level).c_str(), W_OK | X_OK) == 0 ? 0 : LastError();
        }
        if (errno != ENOENT)
            return LastError();
        // The nearest parent: up to the last separator, the root, or the current directory.
        const size_t separator = level.rfind(kPathSeparator);
        level = separator == std::string::npos ? std::string(".") : level.substr(0, separator + 1);
    }
}

TDirectoryLock::~TDirectoryLock()
{
    Unlock();
}

int TDirectoryLock::Lock(const std::string& Dir)
{
    Unlock();
    const int fd = OpenPath(NativePath(Dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    m_Fd = fd;
    return 0;
}

void TDirectoryLock::Unlock()
{
    if (m_Fd >= 0)
        close(m_Fd); // releases the lock
    m_Fd = -1;
}

size_t RemoveTemporaries(const std::string& Dir)
{
    std::string path = Dir;
    while (path.size() > 1 && path.back() == kPathSeparator)
        path.pop_back();
    size_t removed = 0;
    std::vector<std::string> pending = {NativePath(path)};
    while (!pending.empty()) {
        const std::string dir = pending.back();
        pending.pop_back();
        DIR* listing = OpenListing(dir.c_str());
        if (listing == nullptr)
            continue;
        std::vector<std::string> names;
        {
            const TDirListing guard(listing);
            while (const dirent* entry = readdir(listing))
                names.push_back(entry->d_name);
        }
        // The whole listing is read before anything is removed (see EmptyDirectory).
        for (const std::string& name : names) {
            if (name == "." || name == "..")
                continue;
            const std::string child = dir + kPathSeparator + name;
            struct stat info;
            if (lstat(child.c_str(), &info) != 0)
                continue;
            if (S_ISDIR(info.st_mode))
                pending.push_back(child);
            else if (IsTemporaryName(name) && RemoveFile(child.c_str()) == 0)
                ++removed;
        }
    }
    return removed;
}

TNewFile::~TNewFile()
{
    Close();
}

int TNewFile::Create(const std::string& Path)
{
    FATAL_CHECK(m_Fd < 0);
    m_Path = NativePath(Path);
    m_Fd = OpenPath(m_Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return m_Fd < 0 ? errno : 0;
}

int TNewFile::Write(const char* Data, size_t Length)
{
    FATAL_CHECK(m_Fd >= 0);
    return WriteAll(m_Fd, m_Path.c_str(), Data, Length);
}

int TNewFile::Close()
{
    if (m_Fd < 0)
        return 0;
    const int fd = m_Fd;
    m_Fd = -1;
    return ClosePath(fd, m_Path.c_str()) != 0 ? errno : 0;
}

TAtomicFile::~TAtomicFile()
{
    Discard();
}

std::string TAtomicFile::TemporaryPath(const std::string& Path)
{
    const size_t separator = Path.rfind(kPathSeparator);
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    return Path.substr(0, nameStart) + "." + Path.substr(nameStart) + "." + std::to_string(getpid()) +
           kTemporarySuffix;
}

int TAtomicFile::Create(const std::string& Path)
{
    FATAL_CHECK(!IsOpen());
    const std::string temporary = TemporaryPath(Path);
    TNewFile file;
    int error = file.Create(temporary);
    if (error == 0) {
        m_Path = Path;
        m_Temporary = NativePath(temporary);
        error = file.Close();
        if (error != 0)
            Discard();
    }
    return error;
}

int TAtomicFile::Write(const char* Data, size_t Length)
{
    FATAL_CHECK(IsOpen());
    const int fd = OpenPath(m_Temporary.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = WriteAll(fd, m_Temporary.c_str(), Data, Length);
    if (ClosePath(fd, m_Temporary.c_str()) != 0 && error == 0)
        return errno;
    return error;
}

int TAtomicFile::Commit()
{
    FATAL_CHECK(IsOpen());
    const std::string target = NativePath(m_Path);
    if (Fault(TFileCall::Rename, target.c_str()) == 0 &&
        renameat2(AT_FDCWD, m_Temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        m_Temporary.clear();
        return 0;
    }
    int error = errno;
    // File systems without that rename: a hard link never replaces either.
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP)
        error = link(m_Temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    Discard();
    return error;
}

int TAtomicFile::CommitReplacing()
{
    FATAL_CHECK(IsOpen());
    const std::string target = NativePath(m_Path);
    if (Fault(TFileCall::Rename, target.c_str()) == 0 && rename(m_Temporary.c_str(), target.c_str()) == 0) {
        m_Temporary.clear();
        return 0;
    }
    const int error = errno;
    Discard();
    return error;
}

void TAtomicFile::Discard()
{
    if (!m_Temporary.empty())
        RemoveFile(m_Temporary.c_str());
    m_Temporary.clear();
}

IFileFaults* SetFileFaults(IFileFaults* Faults) noexcept
{
    return g_FileFaults.exchange(Faults, std::memory_order_acq_rel);
}

} // namespace BrintLib
