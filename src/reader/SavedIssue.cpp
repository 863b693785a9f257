#include "reader/SavedIssue.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "libs/Exceptions.h"
#include "libs/FileSystem.h"

namespace {

using BrintLib::kPathSeparator;
using BrintLib::NativePath;

/// The names in directory Dir (a native path), but "." and "..", each with whether it is a directory.
std::map<std::string, bool> ListDirectory(const std::string& Dir)
{
    std::map<std::string, bool> entries;
    DIR* const handle = opendir(Dir.c_str());
    if (handle == nullptr)
        return entries;
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(handle, closedir);
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            entries[name] = entry->d_type == DT_DIR;
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

bool IsIssueName(const std::string& Name)
{
    if (Name.size() != 7 || Name[4] != '_')
        return false;
    for (size_t i = 0; i < Name.size(); ++i)
        if (i != 4 && !std::isdigit(static_cast<unsigned char>(Name[i])))
            return false;
    return true;
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
    if (top.count(contents) != 0 && !top.at(contents)) {
        issue->m_Dir = dir;
        issue->m_Where = dir;
        for (const auto& [entry, isDir] : top) {
            if (!isDir) {
                issue->AddFile(entry);
                continue;
            }
            for (const auto& [inner, innerIsDir] : ListDirectory(NativePath(dir + entry)))
                if (!innerIsDir)
                    issue->AddFile(entry + kPathSeparator + inner);
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
        const char* entry = zip_get_name(issue->m_Archive.get(), static_cast<zip_uint64_t>(i), 0);
        if (entry != nullptr && *entry != '\0' && entry[std::strlen(entry) - 1] != '/')
            issue->AddFile(entry);
    }
    return issue;
}

void TSavedIssue::AddFile(const std::string& File)
{
    m_Files.insert(File);
    const size_t index = PageIndex(m_Name, File);
    if (index != std::string::npos && File.find('#') == std::string::npos)
        m_Pages[index] = File;
}

size_t PageIndex(const std::string& Name, const std::string& Reference, std::string* Fragment)
{
    const std::string prefix = Name + "_";
    const size_t hash = Reference.find('#');
    const std::string file = Reference.substr(0, hash);
    if (Fragment != nullptr)
        *Fragment = hash == std::string::npos ? std::string() : Reference.substr(hash + 1);
    if (file.size() < prefix.size() + 6 || file.compare(0, prefix.size(), prefix) != 0 ||
        file.compare(file.size() - 4, 4, ".htm") != 0)
        return std::string::npos;
    const std::string digits = file.substr(prefix.size(), file.size() - prefix.size() - 4);
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::string::npos;
    return std::stoul(digits);
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
