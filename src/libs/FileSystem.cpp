#include "libs/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"

namespace BrintLib {

namespace {

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
            if (unlinkat(dirFd, name.c_str(), 0) != 0)
                return LastError();
            continue;
        }
        const int childFd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (childFd < 0)
            return LastError();
        if (const unsigned error = EmptyDirectory(childFd))
            return error;
        if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
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
        if (mkdir(NativePath(level).c_str(), 0777) != 0) {
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

    const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    if (const unsigned error = EmptyDirectory(fd))
        return error;
    // Something created inside meanwhile makes this fail with ENOTEMPTY.
    if (rmdir(native.c_str()) != 0)
        return LastError();
    return 0;
}

TNewFile::~TNewFile()
{
    Close();
}

int TNewFile::Create(const std::string& Path)
{
    FATAL_CHECK(m_Fd < 0);
    m_Fd = open(NativePath(Path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return m_Fd < 0 ? errno : 0;
}

int TNewFile::Write(const char* Data, size_t Length)
{
    FATAL_CHECK(m_Fd >= 0);
    while (Length > 0) {
        const ssize_t written = write(m_Fd, Data, Length);
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

int TNewFile::Close()
{
    if (m_Fd < 0)
        return 0;
    const int fd = m_Fd;
    m_Fd = -1;
    return close(fd) != 0 ? errno : 0;
}

TAtomicFile::~TAtomicFile()
{
    Discard();
}

std::string TAtomicFile::TemporaryPath(const std::string& Path)
{
    const size_t separator = Path.rfind(kPathSeparator);
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    return Path.substr(0, nameStart) + "." + Path.substr(nameStart) + ".part";
}

int TAtomicFile::Create(const std::string& Path)
{
    FATAL_CHECK(!m_File.IsOpen());
    const std::string temporary = TemporaryPath(Path);
    int error = m_File.Create(temporary);
    // What is there under the temporary's name was left by a run that ended before it could remove it;
    // a directory stays and fails the creation.
    if (error == EEXIST && unlink(NativePath(temporary).c_str()) == 0)
        error = m_File.Create(temporary);
    if (error != 0)
        return error;
    m_Path = Path;
    m_Temporary = NativePath(temporary);
    return 0;
}

int TAtomicFile::Write(const char* Data, size_t Length)
{
    return m_File.Write(Data, Length);
}

int TAtomicFile::Commit()
{
    FATAL_CHECK(m_File.IsOpen());
    int error = m_File.Close();
    if (error == 0) {
        const std::string target = NativePath(m_Path);
        if (renameat2(AT_FDCWD, m_Temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            m_Temporary.clear();
            return 0;
        }
        error = errno;
        // File systems without that rename: a hard link never replaces either.
        if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
            error = link(m_Temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
        }
    }
    Discard();
    return error;
}

int TAtomicFile::CommitReplacing()
{
    FATAL_CHECK(m_File.IsOpen());
    int error = m_File.Close();
    if (error == 0 && rename(m_Temporary.c_str(), NativePath(m_Path).c_str()) == 0) {
        m_Temporary.clear();
        return 0;
    }
    if (error == 0)
        error = errno;
    Discard();
    return error;
}

void TAtomicFile::Discard()
{
    m_File.Close();
    if (!m_Temporary.empty())
        unlink(m_Temporary.c_str());
    m_Temporary.clear();
}

} // namespace BrintLib
