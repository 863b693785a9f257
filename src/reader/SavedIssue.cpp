#include "reader/SavedIssue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "IssueNames.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"

namespace {

using BrintLib::kPathSeparator;
using BrintLib::NativePath;

struct TEntry {
    bool Directory = false;
    uint64_t Size = 0;
};

/// The entries of directory Dir (a native path) but "." and ".." and hidden ones (a run's temporaries among
/// them), links followed.
std::map<std::string, TEntry> ListDirectory(const std::string& Dir)
{
    std::map<std::string, TEntry> entries;
    DIR* const handle = opendir(Dir.c_str());
    if (handle == nullptr)
        return entries;
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(handle, closedir);
    while (const dirent* entry = readdir(handle)) {
        struct stat status {};
        if (entry->d_name[0] != '.' && fstatat(dirfd(handle), entry->d_name, &status, 0) == 0)
            entries[entry->d_name] = {S_ISDIR(status.st_mode), static_cast<uint64_t>(status.st_size)};
    }
    return entries;
}

} // namespace

std::string ReadFileHead(const std::string& Path, size_t Limit)
{
    const int fd = open(NativePath(Path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        APL_THROW("Ошибка при чтении файла " << Path);
    struct TCloser {
        int Fd;
        ~TCloser() { close(Fd); }
    } const closer{fd};
    std::string text;
    char buffer[65536];
    while (text.size() < Limit) {
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, Limit - text.size()));
        if (got < 0)
            APL_THROW("Ошибка при чтении файла " << Path);
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

std::unique_ptr<TSavedIssue> TSavedIssue::Open(const std::string& SavePath, const std::string& Name)
{
    std::string base = SavePath;
    if (!base.empty() && base.back() != kPathSeparator)
        base += kPathSeparator;
    const std::string contents = Name + "_00.htm";
    std::unique_ptr<TSavedIssue> issue(new TSavedIssue);
    issue->m_Name = Name;
    const std::string dir = base + Name + kPathSeparator;
    const auto top = ListDirectory(NativePath(dir));
    if (top.count(contents) != 0 && !top.at(contents).Directory) {
        issue->m_Dir = dir;
        issue->m_Where = dir;
        for (const auto& [entry, status] : top) {
            if (!status.Directory) {
                issue->AddFile(entry, status.Size);
                continue;
            }
            for (const auto& [inner, innerStatus] : ListDirectory(NativePath(dir + entry)))
                if (!innerStatus.Directory)
                    issue->AddFile(entry + kPathSeparator + inner, innerStatus.Size);
        }
        return issue;
    }
    const std::string archive = base + Name + ".zip";
    int error = 0;
    issue->m_Archive.reset(zip_open(NativePath(archive).c_str(), ZIP_RDONLY, &error));
    if (!issue->m_Archive || zip_name_locate(issue->m_Archive.get(), contents.c_str(), 0) < 0)
        return nullptr;
    issue->m_Where = archive;
    const zip_int64_t count = zip_get_num_entries(issue->m_Archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t status;
        if (zip_stat_index(issue->m_Archive.get(), static_cast<zip_uint64_t>(i), 0, &status) != 0 ||
            (status.valid & ZIP_STAT_NAME) == 0)
            continue;
        const char* entry = status.name;
        if (*entry != '\0' && entry[std::strlen(entry) - 1] != '/')
            issue->AddFile(entry, (status.valid & ZIP_STAT_SIZE) != 0 ? status.size : 0);
    }
    return issue;
}

void TSavedIssue::AddFile(const std::string& File, uint64_t Size)
{
    m_Files.insert(File);
    m_Sizes[File] = Size;
    const size_t index = PageIndex(m_Name, File);
    if (index != std::string::npos && File.find('#') == std::string::npos)
        m_Pages[index] = File;
}

size_t PageIndex(const std::string& Name, const std::string& Reference, std::string* Fragment)
{
    const size_t hash = Reference.find('#');
    const std::string file = Reference.substr(0, hash);
    if (Fragment != nullptr)
        *Fragment = hash == std::string::npos ? std::string() : Reference.substr(hash + 1);
    const std::string extension = ".htm";
    if (file.size() <= extension.size() ||
        file.compare(file.size() - extension.size(), extension.size(), extension) != 0)
        return std::string::npos;
    const std::optional<TIssueName> name =
        ReadIssueName(std::string_view(file).substr(0, file.size() - extension.size()));
    return name && name->Page != std::string::npos && name->Issue() == Name ? name->Page : std::string::npos;
}

std::string TSavedIssue::Read(const std::string& File) const
{
    return Head(File, std::string::npos);
}

std::string TSavedIssue::Head(const std::string& File, size_t Count) const
{
    if (!m_Archive)
        return ReadFileHead(m_Dir + File, Count);
    BrintLib::TZipEntryPtr entry(zip_fopen(m_Archive.get(), File.c_str(), 0));
    if (!entry)
        APL_THROW("Ошибка при чтении " << File << " из архива " << m_Where);
    std::string text;
    char buffer[65536];
    while (text.size() < Count) {
        const zip_int64_t got =
            zip_fread(entry.get(), buffer, std::min<zip_uint64_t>(sizeof buffer, Count - text.size()));
        if (got < 0)
            APL_THROW("Ошибка при чтении " << File << " из архива " << m_Where);
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

BrintLib::TPictureKind TSavedIssue::PictureKind(const std::string& File) const
{
    // An SVG's preamble may need more than the first bytes that tell the other kinds.
    std::string head = Head(File, BrintLib::kPictureHeadBytes);
    BrintLib::TPictureKind kind = BrintLib::PictureKindOf(head);
    if (kind == BrintLib::TPictureKind::Unknown && head.size() == BrintLib::kPictureHeadBytes)
        kind = BrintLib::PictureKindOf(Head(File, BrintLib::kMaxPictureHead));
    return kind == BrintLib::TPictureKind::Unknown ? BrintLib::TPictureKind::None : kind;
}

zip_source_t* TSavedIssue::Source(zip_t* Target, const std::string& File) const
{
    zip_source_t* source = nullptr;
    if (m_Archive) {
        const zip_int64_t index = zip_name_locate(m_Archive.get(), File.c_str(), 0);
        if (index >= 0)
            source = zip_source_zip(Target, m_Archive.get(), static_cast<zip_uint64_t>(index), 0, 0, -1);
    } else {
        source = zip_source_file(Target, NativePath(m_Dir + File).c_str(), 0, -1);
    }
    if (source == nullptr)
        APL_THROW("Ошибка при чтении " << File << " из " << m_Where);
    return source;
}

std::string TSavedIssue::Fingerprint() const
{
    // FNV-1a over every file's name and size, in the order of the names.
    uint64_t hash = 0xCBF29CE484222325u;
    const auto add = [&hash](const std::string& Text) {
        for (const char c : Text)
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
        hash = (hash ^ 0u) * 0x100000001B3u;
    };
    for (const auto& [file, size] : m_Sizes) {
        add(file);
        add(std::to_string(size));
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}
