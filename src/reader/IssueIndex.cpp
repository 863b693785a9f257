#include "reader/IssueIndex.h"

#include <dirent.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

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

std::string ReadEntry(zip_t* Archive, const char* Name)
{
    BrintLib::TZipEntryPtr entry(zip_fopen(Archive, Name, 0));
    std::string text;
    if (!entry)
        return text;
    char buffer[65536];
    zip_int64_t got;
    while ((got = zip_fread(entry.get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

void ForEachElement(xmlNode* Node, const std::function<void(xmlNode*)>& Visit)
{
    for (xmlNode* child = Node; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE)
            Visit(child);
        ForEachElement(child->children, Visit);
    }
}

/// Reads issue Name from its book when Skerrow made it; false when it did not.
bool ReadBook(const std::string& Path, TIssueEntry& Entry, bool Details)
{
    int error = 0;
    const BrintLib::TZipArchivePtr archive(zip_open(NativePath(Path).c_str(), ZIP_RDONLY, &error));
    if (!archive)
        return false;
    const std::string package = ReadEntry(archive.get(), "EPUB/package.opf");
    const BrintLib::TXmlDocPtr doc =
        BrintLib::ReadXml(package, "utf-8", XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return false;
    bool ours = false;
    std::string cover;
    size_t pages = 0;
    std::string title;
    ForEachElement(BrintLib::XmlRoot(doc.get()), [&](xmlNode* Element) {
        const std::string name = reinterpret_cast<const char*>(Element->name);
        if (name == "meta" && Attribute(Element, "name") == "generator" &&
            Attribute(Element, "content") == "Skerrow")
            ours = true;
        else if (name == "title" && title.empty())
            title = NodeText(Element);
        else if (name == "itemref")
            ++pages;
        else if (name == "item" && Attribute(Element, "properties") == "cover-image") {
            cover = Attribute(Element, "href");
            Entry.CoverType = Attribute(Element, "media-type");
        }
    });
    if (!ours)
        return false;
    Entry.Book = true;
    if (Details) {
        Entry.Title = title;
        Entry.Articles = pages > 0 ? pages - 1 : 0;
        if (!cover.empty())
            Entry.Cover = ReadEntry(archive.get(), ("EPUB/" + cover).c_str());
    }
    return true;
}

/// Whether the archive at Path holds issue Name's contents page.
bool IsIssueArchive(const std::string& Path, const std::string& Name)
{
    int error = 0;
    const BrintLib::TZipArchivePtr archive(zip_open(NativePath(Path).c_str(), ZIP_RDONLY, &error));
    return archive && zip_name_locate(archive.get(), (Name + "_00.htm").c_str(), 0) >= 0;
}

std::vector<TIssueEntry> FindIssues(const std::string& SavePath, const std::string& Base)
{
    std::set<std::string> names;
    if (DIR* dir = opendir(NativePath(SavePath).c_str())) {
        const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
        while (const dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            for (const char* extension : {".zip", ".epub"}) {
                const std::string ext = extension;
                if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
                    name.erase(name.size() - ext.size());
            }
            if (IsIssueName(name))
                names.insert(name);
        }
    }
    std::vector<TIssueEntry> issues;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        TIssueEntry entry;
        entry.Name = *name;
        const std::unique_ptr<TSavedIssue> issue = TSavedIssue::Open(SavePath, *name);
        entry.Archive = IsIssueArchive(Base + *name + ".zip", *name);
        ReadBook(IssueBookPath(SavePath, *name), entry, !issue);
        if (issue) {
            entry.Directory = !issue->IsArchive();
            const TParsedPage contents(issue->Read(*name + "_00.htm"));
            const TContentsFacts facts = ReadContentsFacts(contents, *name);
            entry.Title = facts.Title;
            entry.Articles = issue->Pages().size() - 1;
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
        if (issue.Name.substr(0, 4) != year) {
            year = issue.Name.substr(0, 4);
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
