// Packing the finished issue: the archiver named on the command line packs the issue directory into a zip
// archive beside it. The directory is removed only when the archiver reported success and the archive,
// read back, holds every file of the directory with its size and CRC-32.
#include "Packing.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "Generic_Parser.h"
#include "RunState.h"
#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/TestHelper.h"
#include "libs/ZipArchive.h"

namespace fs = std::filesystem;

namespace {

/// The archiver's switches, as WinRar reads them: add (a) to a zip archive (-afzip), names relative to
/// the packed directory (-ep1), no configuration (-cfg-), lock (-k), best compression (-m5), recurse
/// (-r), solid (-s), no volumes (-sv-), test after packing (-t), quiet (-idq), end of switches (--).
const char kArchiverSwitches[] = " a -afzip -ep1 -cfg- -k -m5 -r -s -sv- -t -idq -- ";
/// Info-ZIP's zip and 7-Zip, run in the issue directory: recurse quietly into the archive named next,
/// with names relative to the directory.
const char kZipSwitches[] = " -r -q ";
const char k7zSwitches[] = " a -tzip -bd -y ";

/// The file name of Path: what follows its last separator.
std::string FileNameOf(const std::string& Path)
{
    const size_t separator = Path.rfind(BrintLib::kPathSeparator);
    return separator == std::string::npos ? Path : Path.substr(separator + 1);
}

/// Its CRC-32 as zlib computes it, reading the file in blocks; false when it cannot be read.
bool FileCrc(const std::string& NativePath, uLong& Crc)
{
    std::ifstream file(NativePath, std::ios::binary);
    std::vector<char> block(1 << 16);
    Crc = crc32(0L, Z_NULL, 0);
    while (file) {
        file.read(block.data(), static_cast<std::streamsize>(block.size()));
        Crc = crc32(Crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(file.gcount()));
    }
    return file.eof();
}

/// How the archive's file looked: whether it exists, and which file it is in which state.
struct TFileState {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    struct timespec Modified = {};

    bool operator==(const TFileState& Other) const
    {
        return Exists == Other.Exists && Device == Other.Device && Inode == Other.Inode &&
               Size == Other.Size && Modified.tv_sec == Other.Modified.tv_sec &&
               Modified.tv_nsec == Other.Modified.tv_nsec;
    }
};

TFileState FileState(const std::string& Path)
{
    struct stat info = {};
    TFileState state;
    if (lstat(BrintLib::NativePath(Path).c_str(), &info) == 0)
        state = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    return state;
}

/// A name from the file system (the user's encoding) in windows-1251 for a message; as it is when it
/// cannot be converted.
std::string MessageName(const std::string& NativeName)
{
    std::string name;
    return BrintLib::UserToCp1251(NativeName, name) ? name : NativeName;
}

/// What is wrong with Archive as the packed copy of Dir: empty when Archive is a zip archive that holds
/// every file below Dir, under its name relative to Dir, with its size.
std::string ArchiveFault(const std::string& Archive, const std::string& Dir)
{
    int code = 0;
    const BrintLib::TZipArchivePtr archive(
        zip_open(BrintLib::NativePath(Archive).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive)
        return "архив " + Archive + " не читается: " + BrintLib::ZipErrorText(code);
    const fs::path root = BrintLib::NativePath(Dir);
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error || fs::is_directory(status))
            continue;
        const std::string name = it->path().lexically_relative(root).generic_string();
        if (!fs::is_regular_file(status))
            return "файл " + MessageName(name) +
                   " каталога не является обычным файлом и не может быть проверен";
        const zip_int64_t index = zip_name_locate(archive.get(), name.c_str(), ZIP_FL_ENC_RAW);
        zip_stat_t entry;
        if (index < 0 || zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &entry) != 0)
            return "в архиве " + Archive + " нет файла " + MessageName(name);
        const std::uintmax_t size = it->file_size(error);
        if (!error && ((entry.valid & ZIP_STAT_SIZE) == 0 || entry.size != size)) {
            std::ostringstream text;
            text << "в архиве " << Archive << " файл " << MessageName(name) << " имеет размер " << entry.size
                 << " байт вместо " << size;
            return text.str();
        }
        uLong crc = 0;
        if (!FileCrc(it->path().string(), crc))
            return "файл " + MessageName(name) + " каталога не читается";
        if ((entry.valid & ZIP_STAT_CRC) == 0 || entry.crc != crc)
            return "в архиве " + Archive + " файл " + MessageName(name) + " отличается от файла каталога";
    }
    if (error)
        return "каталог " + Dir + " не читается: " + error.message();
    return "";
}

/// The values of the src and href attributes in Page, as written (quotes taken off).
std::vector<std::string> LinkValues(const std::string& Page)
{
    std::vector<std::string> values;
    for (const char* name : {"src=", "href="}) {
        const size_t length = std::strlen(name);
        for (size_t at = Page.find(name); at != std::string::npos; at = Page.find(name, at + length)) {
            if (at == 0 || (Page[at - 1] != ' ' && Page[at - 1] != '\t' && Page[at - 1] != '\n'))
                continue;
            size_t start = at + length;
            const char quote = start < Page.size() ? Page[start] : '\0';
            const bool quoted = quote == '"' || quote == '\'';
            start += quoted ? 1 : 0;
            const size_t end = quoted ? Page.find(quote, start) : Page.find_first_of(" \t\n>", start);
            values.push_back(Page.substr(start, end == std::string::npos ? std::string::npos : end - start));
        }
    }
    return values;
}

/// Reads the archive Zip of the issue IssueName back: returns what is wrong with it as an archive (it
/// cannot be opened, an entry cannot be read or fails its CRC-32), empty when nothing is; and in Missing,
/// the first file of the issue that is not in it (the contents page, or one that a page links to).
std::string PackedIssueFault(const std::string& Zip, const std::string& IssueName, std::string& Missing)
{
    int code = 0;
    const BrintLib::TZipArchivePtr archive(
        zip_open(BrintLib::NativePath(Zip).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive)
        return "не читается: " + BrintLib::ZipErrorText(code);
    std::set<std::string> names;
    std::vector<std::string> links;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    std::vector<char> block(1 << 16);
    for (zip_int64_t index = 0; index < count; ++index) {
        const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
        if (name == nullptr)
            return std::string("не читается: ") + zip_strerror(archive.get());
        names.insert(name);
        // Every entry read to its end: libzip checks its CRC-32 there.
        const BrintLib::TZipEntryPtr entry(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
        if (!entry)
            return std::string("файл ") + name + " не читается: " + zip_strerror(archive.get());
        const std::string entryName = name;
        const bool page = entryName.find('/') == std::string::npos && entryName.size() > 4 &&
                          entryName.compare(entryName.size() - 4, 4, ".htm") == 0;
        std::string text;
        for (;;) {
            const zip_int64_t read = zip_fread(entry.get(), block.data(), block.size());
            if (read < 0)
                return "файл " + entryName + " не читается: " + zip_file_strerror(entry.get());
            if (read == 0)
                break;
            if (page)
                text.append(block.data(), static_cast<size_t>(read));
        }
        for (std::string& value : LinkValues(text))
            links.push_back(std::move(value));
    }
    // The issue's own files are named after it; any other link leads out of the copy.
    const std::string contents = MakePageName(IssueName, 0) + ".htm";
    if (names.count(contents) == 0) {
        Missing = contents;
        return "";
    }
    for (std::string link : links) {
        link = link.substr(0, link.find_first_of("#?"));
        if (link.rfind(IssueName + "_", 0) == 0 && names.count(link) == 0) {
            Missing = link;
            break;
        }
    }
    return "";
}

} // namespace

void CheckArchiver(const std::string& ArchiverPath)
{
    CheckArchiverPath(ArchiverPath);
    const std::string native = BrintLib::NativePath(ArchiverPath);
    if (ArchiverPath.find(BrintLib::kPathSeparator) == std::string::npos) {
        if (!BrintLib::NamesProgram(native))
            APL_THROW("Архиватор " << ArchiverPath << " не найден: такой программы нет в PATH");
        return;
    }
    struct stat info = {};
    if (stat(native.c_str(), &info) != 0)
        APL_THROW("Архиватор " << ArchiverPath << " не найден: " << BrintLib::GetErrorDescription(errno));
    if (!S_ISREG(info.st_mode))
        APL_THROW("Архиватор " << ArchiverPath << " нельзя запустить: это не файл");
    if (access(native.c_str(), X_OK) != 0)
        APL_THROW("Архиватор " << ArchiverPath
                               << " нельзя запустить: " << BrintLib::GetErrorDescription(errno));
}

std::string SetArchiveAside(const std::string& Archive)
{
    const std::string from = BrintLib::NativePath(Archive);
    int error = 0;
    for (int number = 1; number <= 100; ++number) {
        const std::string aside = Archive + ".bad" + (number == 1 ? std::string() : std::to_string(number));
        const std::string to = BrintLib::NativePath(aside);
        error = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
        // File systems without that rename: a hard link never replaces either.
        if (error == EINVAL || error == ENOSYS) {
            error = link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
            if (error == 0)
                unlink(from.c_str());
        }
        if (error == 0)
            return "архив переименован в " + aside;
        if (error != EEXIST)
            break;
    }
    return "отложить архив не удалось: " + BrintLib::GetErrorDescription(error);
}

void CheckPackedIssue(const std::string& Dir)
{
    const std::string zip = Dir + ".zip";
    if (BrintLib::PathExists(Dir) || !BrintLib::PathExists(zip))
        return;
    const std::string issueName = FileNameOf(Dir);
    std::string missing;
    const std::string fault = PackedIssueFault(zip, issueName, missing);
    if (fault.empty() && missing.empty())
        throw BrintLib::TRunStopped(
            "Выпуск уже упакован в архив " + zip + ", архив проверен: копировать нечего", 0);
    const std::string message = fault.empty()
                                    ? "Архив " + zip + " неполон (нет файла " + missing +
                                          "): выпуск копируется заново, архив будет дополнен"
                                    : "Архив " + zip + " повреждён (" + fault + "): " + SetArchiveAside(zip) +
                                          ", выпуск копируется заново";
    BrintLib::WriteConverted(std::cerr, message) << std::endl;
}

namespace {

/// What an archive's comment says before the address of the issue it holds.
constexpr char kPackedIssueMark[] = "Skerrow: ";

} // namespace

void MarkPackedIssue(const std::string& Archive, const std::string& TitleUrl)
{
    int code = 0;
    BrintLib::TZipArchivePtr archive(zip_open(BrintLib::NativePath(Archive).c_str(), 0, &code));
    const std::string comment = kPackedIssueMark + TitleUrl;
    if (!archive || comment.size() > UINT16_MAX ||
        zip_set_archive_comment(archive.get(), comment.data(), static_cast<zip_uint16_t>(comment.size())) !=
            0)
        return;
    // libzip writes the archive anew beside it and renames it into place: whole, or not at all.
    zip_t* written = archive.release();
    if (zip_close(written) != 0)
        zip_discard(written);
}

std::string FindPackedIssue(const std::string& SavePath, const std::string& TitleUrl)
{
    std::error_code error;
    const std::string expected = kPackedIssueMark + TitleUrl;
    for (fs::directory_iterator it(BrintLib::NativePath(SavePath), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".zip") != 0 || !it->is_regular_file(error))
            continue;
        int code = 0;
        const BrintLib::TZipArchivePtr archive(zip_open(it->path().c_str(), ZIP_RDONLY, &code));
        int length = 0;
        const char* comment =
            archive ? zip_get_archive_comment(archive.get(), &length, ZIP_FL_ENC_RAW) : nullptr;
        if (comment != nullptr && std::string(comment, static_cast<size_t>(length)) == expected)
            return SavePath + BrintLib::kPathSeparator + name.substr(0, name.size() - 4);
    }
    return std::string();
}

void CheckArchiverPath(const std::string& ArchiverPath)
{
    // The archiver's path is quoted, so that a path with blanks runs that very program and never a
    // program named by a prefix of it. Nothing inside quotes is special but the quote itself.
    if (ArchiverPath.find('"') != std::string::npos)
        APL_THROW("Путь к архиватору " << ArchiverPath
                                       << " нельзя передать в командной строке: в нём есть кавычка");
}

std::string PackIssue(const std::string& ArchiverPath)
{
    std::string dir = g_IssueDir;
    while (!dir.empty() && dir.back() == BrintLib::kPathSeparator)
        dir.pop_back();

    // The archive name and the set of files are passed in double quotes. A path that the archiver would
    // read back differently (a '"' in it, a '\' before the closing quote) would let it pack some other
    // directory, and the issue directory would then be removed unpacked; such a path is refused.
    // Likewise a directory whose name is nothing but separators: that would be the file-system root.
    const std::string archive = std::string(1, '"') + dir + "\" \"" + dir + BrintLib::kPathSeparator + "*\"";
    const std::vector<std::string> expected = {dir, dir + BrintLib::kPathSeparator + "*"};
    if (dir.empty() || BrintLib::SplitArguments(archive) != expected)
        APL_THROW("Каталог " << g_IssueDir << " нельзя передать архиватору");
    CheckArchiverPath(ArchiverPath);

    // The archiver adds ".zip" to an archive name without extension; the issue directory's name has
    // none, and the directory itself could not be the archive anyway.
    const std::string zip = dir + ".zip";
    const TFileState before = FileState(zip);
    // zip and 7z take the archive's name from the issue directory, which they run in: the name of its
    // parent's entry, which the checks below read back where it must be.
    const std::string program = FileNameOf(ArchiverPath);
    const bool infoZip = program == "zip";
    const bool sevenZip = program == "7z" || program == "7za";
    const std::string local = "\"../" + FileNameOf(zip) + "\" .";
    const std::string command = std::string(1, '"') + ArchiverPath + '"' +
                                (infoZip    ? kZipSwitches + local
                                 : sevenZip ? k7zSwitches + local
                                            : kArchiverSwitches + archive);
    // A temporary that could not be removed when its transfer failed is no part of the issue; the run holds
    // the directory's lock, so none there is another live run's.
    BrintLib::RemoveTemporaries(g_IssueDir);
    if (BrintLib::ExecuteCommand(command.c_str(), infoZip || sevenZip ? g_IssueDir.c_str() : nullptr) != 0) {
        // Whatever the failed archiver left under the archive's name is no archive of the issue.
        const TFileState left = FileState(zip);
        if (left.Exists && !(left == before))
            APL_THROW("Ошибка WinRar, при выполнении комманды " << command << "; " << SetArchiveAside(zip));
        APL_THROW("Ошибка WinRar, при выполнении комманды " << command);
    }

    const TFileState after = FileState(zip);
    std::string fault;
    if (!after.Exists)
        fault = "архива " + zip + " нет";
    else if (after == before)
        fault = "архив " + zip + " не изменился";
    else
        fault = ArchiveFault(zip, dir);
    if (!fault.empty())
        APL_THROW("Архиватор сообщил об успешном завершении, но "
                  << fault << "; каталог " << g_IssueDir << " оставлен на месте"
                  << (after.Exists ? "; " + SetArchiveAside(zip) : std::string()));
    if (const unsigned error = BrintLib::RemoveDirectoryTree(g_IssueDir)) {
        std::ostringstream message;
        message << "Архив " << zip << " проверен, но каталог " << g_IssueDir
                << " удалить не удалось: " << BrintLib::GetErrorDescription(static_cast<int>(error));
        throw TDirectoryKept(message.str(), __FILE__, __LINE__, zip);
    }
    return zip;
}
