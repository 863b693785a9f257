// Owning handles of libzip (an archive, an entry being read) and the text of libzip's error codes. Header
// only, so that the project's archiver (tools/SkerrowZip), which links nothing of the program, shares it.
#pragma once

#include <zip.h>

#include <memory>
#include <string>

namespace BrintLib {

struct TZipArchiveCloser {
    /// Drops the archive without writing anything (an archive to be written is closed with zip_close,
    /// after which the handle is released).
    void operator()(zip_t* Archive) const { zip_discard(Archive); }
};
/// An archive opened with zip_open; may be null (the open failed).
using TZipArchivePtr = std::unique_ptr<zip_t, TZipArchiveCloser>;

struct TZipEntryCloser {
    void operator()(zip_file_t* File) const { zip_fclose(File); }
};
/// An entry opened for reading with zip_fopen_index; may be null.
using TZipEntryPtr = std::unique_ptr<zip_file_t, TZipEntryCloser>;

/// libzip's text for an error code of zip_open.
inline std::string ZipErrorText(int Code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, Code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

} // namespace BrintLib
