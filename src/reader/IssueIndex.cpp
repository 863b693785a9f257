#include "reader/IssueIndex.h"

#include <dirent.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "IssueNames.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/Xml.h"
#include "libs/ZipArchive.h"
#include "reader/Epub.h"
#include "reader/IssuePages.h"
#include "reader/SavedIssue.h"

namespace {

using BrintLib::kPathSeparator;
using BrintLib::NativePath;

/// The mark by which index.htm is known as Skerrow's.
const char kGenerator[] = "<meta name=\"generator\" content=\"Skerrow\">";

struct TIssueEntry {
    std::string Name;
    std::string Year; ///< as the name writes it
    std::string Title;
    size_t Articles = 0;
    std::string Cover;     ///< the picture's bytes
    std::string CoverType; ///< its media type
    bool Directory = false;
    bool Archive = false;
    bool Book = false;
};

std::string Base64(const std::string& Bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((Bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < Bytes.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(Bytes[i]) << 16;
        if (i + 1 < Bytes.size())
            value |= static_cast<unsigned char>(Bytes[i + 1]) << 8;
        if (i + 2 < Bytes.size())
            value |= static_cast<unsigned char>(Bytes[i + 2]);
        text += kDigits[(value >> 18) & 63];
        text += kDigits[(value >> 12) & 63];
        text += i + 1 < Bytes.size() ? kDigits[(value >> 6) & 63] : '=';
        text += i + 2 < Bytes.size() ? kDigits[value & 63] : '=';
    }
    return text;
}

/// The media type of the cover picture Bytes as its bytes tell it; empty when they are no picture.
std::string CoverType(const std::string& Bytes)
{
    return BrintLib::PictureMediaType(BrintLib::PictureKindOf(Bytes));
}

/// Whether the archive at Path holds issue Name's contents page.
bool IsIssueArchive(const std::string& Path, const std::string& Name)
{
    int error = 0;
    const BrintLib::TZipArchivePtr archive(zip_open(NativePath(Path).c_str(), ZIP_RDONLY, &error));
    return archive && zip_name_locate(archive.get(), (Name + "_00.htm").c_str(), 0) >= 0;
}

/// Newest first: by year, then by month, an issue named by a word after the year's months.
bool IsNewer(const TIssueName& A, const TIssueName& B)
{
    if (A.Year != B.Year)
        return A.Year > B.Year;
    if ((A.Month() == 0) != (B.Month() == 0))
        return A.Month() != 0;
    return A.Month() != B.Month() ? A.Month() > B.Month() : A.Code < B.Code;
}

std::vector<TIssueEntry> FindIssues(const std::string& SavePath, const std::string& Base)
{
    std::map<std::string, TIssueName> found;
    if (DIR* dir = opendir(NativePath(SavePath).c_str())) {
        const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            for (const char* extension : {".zip", ".epub"}) {
                const std::string ext = extension;
                if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
                    name.erase(name.size() - ext.size());
            }
            const std::optional<TIssueName> issue = ReadIssueName(name);
            if (issue && issue->Page == std::string::npos)
                found.emplace(name, *issue);
        }
    }
    std::vector<std::pair<std::string, TIssueName>> names(found.begin(), found.end());
    std::sort(names.begin(), names.end(),
              [](const auto& A, const auto& B) { return IsNewer(A.second, B.second); });
    std::vector<TIssueEntry> issues;
    for (const auto& [name, parsed] : names) {
        TIssueEntry entry;
        entry.Name = name;
        entry.Year = name.substr(0, name.find('_'));
        const std::unique_ptr<TSavedIssue> issue = TSavedIssue::Open(SavePath, name);
        entry.Archive = IsIssueArchive(Base + name + ".zip", name);
        if (const std::optional<TBookFacts> book = ReadIssueBook(IssueBookPath(SavePath, name), !issue)) {
            entry.Book = true;
            entry.Title = book->Title;
            entry.Articles = book->Articles;
            entry.Cover = book->Cover;
            entry.CoverType = book->CoverType;
        }
        if (issue) {
            entry.Directory = !issue->IsArchive();
            const TParsedPage contents(issue->Read(issue->Pages().at(0)));
            const TContentsFacts facts = ReadContentsFacts(contents, name);
            entry.Title = facts.Title;
            entry.Articles = issue->Pages().size() - 1;
            entry.Cover.clear();
            if (!facts.Cover.empty() && issue->Has(facts.Cover)) {
                entry.Cover = issue->Read(facts.Cover);
                entry.CoverType = CoverType(entry.Cover);
            }
        }
        if (!entry.Directory && !entry.Archive && !entry.Book)
            continue;
        if (CoverType(entry.Cover) != entry.CoverType || entry.CoverType.empty())
            entry.Cover.clear();
        issues.push_back(std::move(entry));
    }
    return issues;
}

std::string IndexPage(const std::vector<TIssueEntry>& Issues)
{
    const std::string heading = Utf8FromCp1251("Сохранённые выпуски");
    std::string page = "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n" +
                       std::string(kGenerator) + "\n<title>" + heading +
                       "</title>\n<style>\n"
                       "body { font-family: sans-serif; margin: 1em 2em; max-width: 60em; }\n"
                       ".issue { display: flex; gap: 1em; align-items: flex-start; margin: 1em 0; }\n"
                       ".issue img { max-width: 8em; max-height: 12em; }\n"
                       "</style>\n</head>\n<body>\n<h1>" +
                       heading + "</h1>\n";
    if (Issues.empty())
        page += "<p>" + Utf8FromCp1251("Здесь нет сохранённых выпусков.") + "</p>\n";
    std::string year;
    for (const TIssueEntry& issue : Issues) {
        if (issue.Year != year) {
            year = issue.Year;
            page += "<h2>" + year + "</h2>\n";
        }
        page += "<div class=\"issue\">";
        if (!issue.Cover.empty())
            page += "<img src=\"data:" + issue.CoverType + ";base64," + Base64(issue.Cover) + "\" alt=\"\">";
        page += "<div><b>" + XmlEscape(issue.Title.empty() ? issue.Name : issue.Title) + "</b><br>" +
                Utf8FromCp1251("Статей: ") + std::to_string(issue.Articles) + "<br>";
        std::vector<std::string> links;
        if (issue.Directory)
            links.push_back("<a href=\"" + issue.Name + "/" + issue.Name + "_00.htm\">" +
                            Utf8FromCp1251("оглавление") + "</a>");
        if (issue.Archive)
            links.push_back("<a href=\"" + issue.Name + ".zip\">" + Utf8FromCp1251("архив") + "</a>");
        if (issue.Book)
            links.push_back("<a href=\"" + issue.Name + ".epub\">" + Utf8FromCp1251("книга") + "</a>");
        for (size_t i = 0; i < links.size(); ++i)
            page += (i == 0 ? "" : " | ") + links[i];
        page += "</div></div>\n";
    }
    return page + "</body>\n</html>\n";
}

} // namespace

std::string WriteIssueIndex(const std::string& SavePath)
{
    std::string base = SavePath;
    if (!base.empty() && base.back() != kPathSeparator)
        base += kPathSeparator;
    const std::string path = base + "index.htm";
    if (BrintLib::PathExists(path)) {
        // Only a page that Skerrow wrote is replaced.
        std::string head;
        try {
            head = ReadFileHead(path, 4096);
        } catch (const BrintLib::TAplThrowException&) {
        }
        if (head.find(kGenerator) == std::string::npos)
            APL_THROW("Файл " << path << " уже существует и записан не Skerrow: список выпусков не записан");
    }
    const std::string page = IndexPage(FindIssues(SavePath, base));
    BrintLib::TAtomicFile file;
    if (const int error = file.Create(path))
        APL_THROW("Ошибка при открытии файла " << path << ": " << BrintLib::GetErrorDescription(error));
    int error = file.Write(page.data(), page.size());
    if (error == 0)
        error = file.CommitReplacing();
    if (error != 0)
        APL_THROW("Ошибка при записи " << path << ": " << BrintLib::GetErrorDescription(error));
    return path;
}
