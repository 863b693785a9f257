// SkerrowZip: the archiver that packs an issue directory on Linux.
//
// It takes exactly the command line that Skerrow gives its archiver (the one WinRar takes on Windows):
//
//   SkerrowZip a -afzip -ep1 -cfg- -k -m5 -r -s -sv- -t -idq -- ARCHIVE DIR/*
//
// and writes the zip archive ARCHIVE (".zip" is appended when its name has no extension) holding every
// file and folder below DIR, named relative to DIR, deflated at the best level. As with WinRar's "a", an
// archive that exists already is updated: entries of the same name are replaced, others kept. The archive
// is written to a temporary file and renamed into place, then read back and compared, entry by entry,
// with the files it was made from. Only then does the program exit with 0, printing nothing.
// On any failure it prints one line on standard error and exits with 1 (2 for a wrong command line).
// Anything in DIR that is neither a regular file nor a folder (a symbolic link, a device) is a failure:
// the archive would otherwise be incomplete or hold something from outside DIR.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "libs/ZipArchive.h"

namespace {

/// The switches, in this order, that the command line must hold before ARCHIVE and DIR/*.
const char* const kSwitches[] = {"a",  "-afzip", "-ep1", "-cfg-", "-k",   "-m5",
                                 "-r", "-s",     "-sv-", "-t",    "-idq", "--"};
constexpr int kSwitchCount = static_cast<int>(sizeof kSwitches / sizeof kSwitches[0]);
/// The compression level that -m5 (best) stands for.
constexpr zip_uint32_t kDeflateLevel = 9;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/// A failure of packing; its text is printed and the program exits with kExitFailure.
struct TPackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// One file or folder to pack.
struct TEntry {
    std::string Name; ///< relative to DIR, '/' separated; a folder's name ends with '/'
    std::string Path; ///< the path on disk
    mode_t Mode;      ///< from lstat
    time_t ModifiedTime;
};

/// Collects the entries below Dir (a folder's own entry before its content), in byte order of names.
void CollectEntries(const std::string& Dir, const std::string& Prefix, std::vector<TEntry>& Entries)
{
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(Dir.c_str()), closedir);
    if (!listing)
        throw TPackError("cannot read folder " + Dir + ": " + std::strerror(errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* item = readdir(listing.get())) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.emplace_back(item->d_name);
        errno = 0;
    }
    if (errno != 0)
        throw TPackError("cannot read folder " + Dir + ": " + std::strerror(errno));
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        TEntry entry{Prefix + name, Dir + "/" + name, 0, 0};
        struct stat info;
        if (lstat(entry.Path.c_str(), &info) != 0)
            throw TPackError("cannot examine " + entry.Path + ": " + std::strerror(errno));
        entry.Mode = info.st_mode;
        entry.ModifiedTime = info.st_mtime;
        if (S_ISDIR(info.st_mode)) {
            entry.Name += '/';
            const std::string path = entry.Path;
            const std::string prefix = entry.Name;
            Entries.push_back(std::move(entry));
            CollectEntries(path, prefix, Entries);
        } else if (S_ISREG(info.st_mode)) {
            Entries.push_back(std::move(entry));
        } else {
            throw TPackError(entry.Path + " is neither a regular file nor a folder");
        }
    }
}

/// Unix permissions and type, as zip's external attributes carry them.
zip_uint32_t ExternalAttributes(mode_t Mode)
{
    return static_cast<zip_uint32_t>(Mode & 0xFFFF) << 16;
}

/// Adds or replaces Entries in the archive ArchivePath and writes it.
void WriteArchive(const std::string& ArchivePath, const std::vector<TEntry>& Entries)
{
    int code = 0;
    BrintLib::TZipArchivePtr archive(zip_open(ArchivePath.c_str(), ZIP_CREATE, &code));
    if (!archive)
        throw TPackError("cannot open archive " + ArchivePath + ": " + BrintLib::ZipErrorText(code));
    zip_t* const za = archive.get();
    for (const TEntry& entry : Entries) {
        zip_int64_t index = zip_name_locate(za, entry.Name.c_str(), 0);
        if (S_ISDIR(entry.Mode)) {
            if (index < 0)
                index = zip_dir_add(za, entry.Name.c_str(), ZIP_FL_ENC_GUESS);
        } else {
            zip_source_t* source = zip_source_file(za, entry.Path.c_str(), 0, 0);
            if (source == nullptr)
                throw TPackError("cannot read " + entry.Path + ": " + zip_strerror(za));
            index = zip_file_add(za, entry.Name.c_str(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
            if (index < 0)
                zip_source_free(source);
            else if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                              kDeflateLevel) != 0)
                index = -1;
        }
        if (index < 0 ||
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                             ExternalAttributes(entry.Mode)) != 0 ||
            zip_file_set_mtime(za, static_cast<zip_uint64_t>(index), entry.ModifiedTime, 0) != 0)
            throw TPackError("cannot add " + entry.Name + ": " + zip_strerror(za));
    }
    // zip_close writes a temporary file and renames it over ArchivePath; on failure nothing is renamed.
    if (zip_close(za) != 0)
        throw TPackError("cannot write archive " + ArchivePath + ": " + zip_strerror(za));
    archive.release();
}

/// Reads the written archive back: its structure must be consistent and every entry must be there, a
/// file's content (its checksum tested by the reader) equal to the file on disk.
void VerifyArchive(const std::string& ArchivePath, const std::vector<TEntry>& Entries)
{
    int code = 0;
    BrintLib::TZipArchivePtr archive(zip_open(ArchivePath.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive)
        throw TPackError("archive " + ArchivePath + " is damaged: " + BrintLib::ZipErrorText(code));
    zip_t* const za = archive.get();
    std::vector<char> fromArchive(64 * 1024);
    std::vector<char> fromDisk(fromArchive.size());
    for (const TEntry& entry : Entries) {
        const zip_int64_t index = zip_name_locate(za, entry.Name.c_str(), 0);
        if (index < 0)
            throw TPackError("archive " + ArchivePath + " lacks " + entry.Name);
        if (S_ISDIR(entry.Mode))
            continue;
        BrintLib::TZipEntryPtr reader(zip_fopen_index(za, static_cast<zip_uint64_t>(index), 0));
        std::ifstream file(entry.Path, std::ios::binary);
        if (!reader || !file)
            throw TPackError("cannot compare " + entry.Name + ": " + zip_strerror(za));
        for (;;) {
            const zip_int64_t got = zip_fread(reader.get(), fromArchive.data(), fromArchive.size());
            if (got < 0)
                throw TPackError("archive entry " + entry.Name +
                                 " is damaged: " + zip_file_strerror(reader.get()));
            file.read(fromDisk.data(), got == 0 ? 1 : static_cast<std::streamsize>(got));
            const std::streamsize read = file.gcount();
            if (got == 0) {
                if (read != 0)
                    throw TPackError("archive entry " + entry.Name + " is shorter than " + entry.Path);
                break;
            }
            if (read != got ||
                std::memcmp(fromArchive.data(), fromDisk.data(), static_cast<size_t>(got)) != 0)
                throw TPackError("archive entry " + entry.Name + " differs from " + entry.Path);
        }
    }
}

/// ARCHIVE with ".zip" appended when its last path component has no extension.
std::string ArchiveFileName(const std::string& Archive)
{
    const size_t slash = Archive.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = Archive.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > nameStart;
    return hasExtension ? Archive : Archive + ".zip";
}

int Usage(const char* Problem)
{
    std::fprintf(stderr, "SkerrowZip: %s\nusage: SkerrowZip", Problem);
    for (const char* option : kSwitches)
        std::fprintf(stderr, " %s", option);
    std::fprintf(stderr, " ARCHIVE DIR/*\n");
    return kExitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != kSwitchCount + 3)
        return Usage("wrong number of arguments");
    for (int i = 0; i < kSwitchCount; ++i)
        if (std::strcmp(argv[i + 1], kSwitches[i]) != 0)
            return Usage("unexpected switch");
    const std::string archive = argv[kSwitchCount + 1];
    const std::string files = argv[kSwitchCount + 2];
    if (archive.empty() || archive.back() == '/')
        return Usage("ARCHIVE must name a file");
    if (files.size() < 3 || files.compare(files.size() - 2, 2, "/*") != 0)
        return Usage("the files to pack must be given as DIR/*");
    const std::string dir = files.substr(0, files.size() - 2);

    const std::string archivePath = ArchiveFileName(archive);
    struct stat info;
    const bool existedBefore = lstat(archivePath.c_str(), &info) == 0;
    try {
        std::vector<TEntry> entries;
        CollectEntries(dir, "", entries);
        if (entries.empty())
            throw TPackError("nothing to pack in " + dir);
        WriteArchive(archivePath, entries);
        try {
            VerifyArchive(archivePath, entries);
        } catch (const TPackError&) {
            if (!existedBefore)
                std::remove(archivePath.c_str());
            throw;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "SkerrowZip: %s\n", e.what());
        return kExitFailure;
    }
    return 0;
}
