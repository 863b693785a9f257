// The seam through which tests make the file-system calls of FileSystem.* fail, as a full disk, a failing
// device, a refused permission or a process out of file handles would. Only tests include this header: the
// program never installs anything, and then each call costs one load of a null pointer.
#pragma once

namespace BrintLib {

/// The kinds of system call that FileSystem.* makes and that may fail on their own.
enum class TFileCall {
    Open,    ///< open, openat (files, directories, the issue directory's lock)
    List,    ///< opendir (a directory read to find temporaries)
    Write,   ///< write
    Close,   ///< close of a file that was written (its error counts)
    Rename,  ///< renameat2, rename, link (a temporary becoming its file)
    MakeDir, ///< mkdir
    Remove,  ///< unlink, unlinkat, rmdir
};

/// Asked before each such call, on whatever thread makes it (the transfer engine writes on a thread of its
/// own): returns 0 to let the call run, or the errno with which it fails instead. Must be thread-safe.
class IFileFaults {
  public:
    virtual int Before(TFileCall Call, const char* NativePath) noexcept = 0;

  protected:
    ~IFileFaults() = default;
};

/// Installs Faults for every later call (null: none), returning what was installed before. Faults must
/// outlive its installation. A failing close still releases its file handle, as close(2) does.
IFileFaults* SetFileFaults(IFileFaults* Faults) noexcept;

} // namespace BrintLib
