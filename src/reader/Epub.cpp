#include "reader/Epub.h"

#include <zip.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Generic_Parser.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/Url.h"
#include "libs/Xml.h"
#include "libs/ZipArchive.h"
#include "reader/IssuePages.h"
#include "reader/SavedIssue.h"
#include "reader/XhtmlPage.h"

namespace {

const char kStyle[] = "img { max-width: 100%; height: auto; }\n"
                      "table { max-width: 100%; }\n"
                      ".skerrow-missing { border: 1px solid #b00; padding: 0 1em; }\n";

/// The marks of a book that Skerrow made, in its package document: the generator, and what tells the
/// copy it was made from (the book's form, then the copy's fingerprint).
const char kGenerator[] = "Skerrow";
const char kCopyMeta[] = "skerrow-copy";
const char kBookForm[] = "2-";

const char kPackagePath[] = "EPUB/package.opf";

const char kContainer[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n"
    "<rootfiles><rootfile full-path=\"EPUB/package.opf\" "
    "media-type=\"application/oebps-package+xml\"/></rootfiles>\n</container>\n";

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

/// A picture of the issue in the book.
struct TBookPicture {
    std::string File;     ///< its file in the issue
    std::string BookFile; ///< its file in the book, the extension its bytes tell
    BrintLib::TPictureKind Kind;
};

/// A page of the book.
struct TBookPage {
    size_t Index;
    std::string Title;
    std::string Xhtml;
};

/// The book's archive, written by libzip to the file at Path (a native path) when it is closed.
class TBookArchive {
  public:
    explicit TBookArchive(const std::string& Path)
    {
        int error = 0;
        m_Archive.reset(zip_open(Path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
        if (!m_Archive)
            APL_THROW("Ошибка при создании книги: " << BrintLib::ZipErrorText(error));
    }

    /// Adds Text as Name (deflated, or stored when Store).
    void Add(const std::string& Name, std::string Text, bool Store = false)
    {
        m_Texts.push_back(std::make_unique<std::string>(std::move(Text)));
        const std::string& text = *m_Texts.back();
        zip_source_t* source = zip_source_buffer(m_Archive.get(), text.data(), text.size(), 0);
        if (source == nullptr)
            APL_THROW("Ошибка при создании книги: " << zip_strerror(m_Archive.get()));
        AddSource(Name, source, Store);
    }

    void AddSource(const std::string& Name, zip_source_t* Source, bool Store)
    {
        const zip_int64_t index = zip_file_add(m_Archive.get(), Name.c_str(), Source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(Source);
            APL_THROW("Ошибка при создании книги: " << zip_strerror(m_Archive.get()));
        }
        if (Store &&
            zip_set_file_compression(m_Archive.get(), static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0)
            APL_THROW("Ошибка при создании книги: " << zip_strerror(m_Archive.get()));
    }

    zip_t* Archive() const { return m_Archive.get(); }

    /// Writes the archive: libzip streams every entry into a file of its own beside Path and renames it to
    /// Path once it is whole.
    void Close(const std::string& Shown)
    {
        if (zip_close(m_Archive.get()) != 0)
            APL_THROW("Ошибка при записи " << Shown << ": " << zip_strerror(m_Archive.get()));
        m_Archive.release();
        m_Texts.clear();
    }

  private:
    BrintLib::TZipArchivePtr m_Archive;
    std::vector<std::unique_ptr<std::string>>
        m_Texts; ///< the texts added, alive until the archive is written
};

/// Whether a picture of Kind goes into the book: the picture types that every reading system shows.
bool IsBookPicture(BrintLib::TPictureKind Kind)
{
    return Kind == BrintLib::TPictureKind::Jpeg || Kind == BrintLib::TPictureKind::Png ||
           Kind == BrintLib::TPictureKind::Gif || Kind == BrintLib::TPictureKind::Svg;
}

std::string ModifiedTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

/// The title of article Index: from the contents page's link to it, else its own heading or title.
std::string ArticleTitle(const TContentsFacts& Facts, size_t Index, const TParsedPage& Page,
                         const std::string& File)
{
    const auto linked = Facts.ArticleTitles.find(Index);
    if (linked != Facts.ArticleTitles.end())
        return linked->second;
    for (const char* element : {"h1", "title"}) {
        const std::string text = NodeText(Page.Find(element));
        if (!text.empty())
            return text;
    }
    return File;
}

/// The contents page's notice of what the book lacks: articles and pictures that were not saved, and
/// pictures of a kind that a book cannot hold; empty when it lacks nothing.
std::string MissingNotice(const std::vector<std::string>& Articles, const std::set<std::string>& Pictures,
                          const std::set<std::string>& Unsupported)
{
    if (Articles.empty() && Pictures.empty() && Unsupported.empty())
        return std::string();
    std::string notice =
        "<div class=\"skerrow-missing\"><p>" + Utf8FromCp1251("В книгу не вошли:") + "</p><ul>";
    const std::string notSaved = Utf8FromCp1251(": не удалось сохранить");
    for (const std::string& article : Articles)
        notice += "<li>" + XmlEscape(Utf8FromCp1251("статья ") + article + notSaved) + "</li>";
    for (const std::string& picture : Pictures)
        notice += "<li>" + XmlEscape(Utf8FromCp1251("картинка ") + picture + notSaved) + "</li>";
    for (const std::string& picture : Unsupported)
        notice += "<li>" +
                  XmlEscape(Utf8FromCp1251("картинка ") + picture +
                            Utf8FromCp1251(": не JPEG, PNG, GIF или SVG, которые может хранить книга")) +
                  "</li>";
    return notice + "</ul></div>\n";
}

std::string NavDocument(const TContentsFacts& Facts, const std::string& Name,
                        const std::vector<TBookPage>& Pages)
{
    std::string body = "<nav epub:type=\"toc\" id=\"toc\"><h1>" + XmlEscape(Facts.Title) + "</h1>\n<ol>\n";
    // The sections are the first level, each leading to its first article, with its articles below it.
    bool inSection = false;
    for (const TBookPage& page : Pages) {
        const auto section = Facts.SectionStarts.find(page.Index);
        if (section != Facts.SectionStarts.end()) {
            if (inSection)
                body += "</ol></li>\n";
            body += "<li><a href=\"" + BookPageName(Name, page.Index) + "\">" + XmlEscape(section->second) +
                    "</a>\n<ol>\n";
            inSection = true;
        }
        body +=
            "<li><a href=\"" + BookPageName(Name, page.Index) + "\">" + XmlEscape(page.Title) + "</a></li>\n";
    }
    if (inSection)
        body += "</ol></li>\n";
    return XhtmlDocument(Facts.Title, body + "</ol></nav>", Facts.Language);
}

std::string PackageDocument(const TContentsFacts& Facts, const std::string& Identifier,
                            const std::string& Name, const std::vector<TBookPage>& Pages,
                            const std::vector<TBookPicture>& Pictures, const std::string& Cover,
                            const std::string& Copy)
{
    std::string opf = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
                      "unique-identifier=\"issue-id\" xml:lang=\"" +
                      XmlEscape(Facts.Language) +
                      "\">\n"
                      "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
                      "<dc:identifier id=\"issue-id\">" +
                      XmlEscape(Identifier) + "</dc:identifier>\n<dc:title>" + XmlEscape(Facts.Title) +
                      "</dc:title>\n<dc:language>" + XmlEscape(Facts.Language) + "</dc:language>\n<dc:date>" +
                      Facts.Date + "</dc:date>\n<meta property=\"dcterms:modified\">" + ModifiedTime() +
                      "</meta>\n<meta name=\"generator\" content=\"" + kGenerator + "\"/>\n<meta name=\"" +
                      kCopyMeta + "\" content=\"" + XmlEscape(Copy) + "\"/>\n";
    // A described magazine names itself: the publisher, and the series its issues belong to.
    if (!Facts.Publisher.empty())
        opf += "<dc:publisher>" + XmlEscape(Facts.Publisher) +
               "</dc:publisher>\n<meta property=\"belongs-to-collection\" id=\"series\">" +
               XmlEscape(Facts.Publisher) +
               "</meta>\n<meta refines=\"#series\" property=\"collection-type\">series</meta>\n";
    std::string manifest =
        "<item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" "
        "properties=\"nav\"/>\n<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/>\n";
    std::string spine;
    for (const TBookPage& page : Pages) {
        const std::string id = "page-" + std::to_string(page.Index);
        manifest += "<item id=\"" + id + "\" href=\"" + BookPageName(Name, page.Index) +
                    "\" media-type=\"application/xhtml+xml\"/>\n";
        spine += "<itemref idref=\"" + id + "\"/>\n";
    }
    for (size_t i = 0; i < Pictures.size(); ++i) {
        const std::string id = "picture-" + std::to_string(i + 1);
        const bool cover = Pictures[i].File == Cover;
        if (cover)
            opf += "<meta name=\"cover\" content=\"" + id + "\"/>\n";
        manifest += "<item id=\"" + id + "\" href=\"" + XmlEscape(Pictures[i].BookFile) + "\" media-type=\"" +
                    BrintLib::PictureMediaType(Pictures[i].Kind) + "\"" +
                    (cover ? " properties=\"cover-image\"" : "") + "/>\n";
    }
    return opf + "</metadata>\n<manifest>\n" + manifest + "</manifest>\n<spine>\n" + spine +
           "</spine>\n</package>\n";
}

} // namespace

std::string IssueBookPath(const std::string& SavePath, const std::string& Name)
{
    std::string path = SavePath;
    if (!path.empty() && path.back() != BrintLib::kPathSeparator)
        path += BrintLib::kPathSeparator;
    return path + Name + ".epub";
}

TIssueBook MakeIssueBook(const std::string& SavePath, const std::string& Name, const std::string& TitleUrl)
{
    const std::string path = IssueBookPath(SavePath, Name);
    const std::unique_ptr<TSavedIssue> issue = TSavedIssue::Open(SavePath, Name);
    if (!issue)
        APL_THROW("Книга не создана: выпуск " << Name << " не найден в " << SavePath);
    const std::string identifier = Utf8FromCp1251(TitleUrl);
    const std::string copy = kBookForm + issue->Fingerprint();
    // Checked first, so that nothing is read for a book that cannot be written or need not be.
    const bool replace = BrintLib::PathExists(path);
    if (replace) {
        const std::optional<TBookFacts> made = ReadIssueBook(path, false);
        if (!made)
            APL_THROW("Файл " << path << " уже существует");
        if (made->Copy == copy && made->Identifier == identifier)
            return {path, true};
    }

    const TParsedPage contents(issue->Read(issue->Pages().at(0)));
    const TContentsFacts facts = ReadContentsFacts(contents, Name);
    TBookMap map;
    map.IssueName = Name;
    map.Language = facts.Language;
    for (const auto& page : issue->Pages())
        map.Ids[page.first];
    std::vector<TBookPicture> pictures;
    std::set<std::string> missing;
    std::set<std::string> unsupported;
    for (const std::string& file : issue->Files()) {
        if (file.find(BrintLib::kPathSeparator) == std::string::npos)
            continue;
        const BrintLib::TPictureKind kind = issue->PictureKind(file);
        if (!IsBookPicture(kind)) {
            unsupported.insert(file);
            continue;
        }
        const size_t dot = file.rfind('.');
        const size_t slash = file.rfind(BrintLib::kPathSeparator);
        const std::string stem = dot != std::string::npos && dot > slash ? file.substr(0, dot) : file;
        pictures.push_back({file, stem + "." + BrintLib::PictureExtension(kind), kind});
        map.Pictures[file] = pictures.back().BookFile;
    }
    const BrintLib::TPageUrl base(TitleUrl);
    if (base.IsValid())
        map.Base = &base;

    // Each page is read and parsed once, and held parsed alone (but the contents page): its ids and title
    // taken and the page converted, its links to ids of pages not read yet completed once all are.
    std::vector<TBookPage> pages;
    std::vector<std::vector<TPendingFragment>> pending;
    for (const auto& [index, file] : issue->Pages()) {
        pending.emplace_back();
        if (index == 0) {
            map.Ids[0] = PageIds(contents);
            pages.push_back({0, facts.Title, std::string()});
            continue;
        }
        const TParsedPage page(issue->Read(file));
        map.Ids[index] = PageIds(page);
        pages.push_back({index, ArticleTitle(facts, index, page, file), std::string()});
        pages.back().Xhtml =
            ToXhtml(page, index, map, pages.back().Title, std::string(), missing, &pending.back());
    }
    for (size_t i = 0; i < pages.size(); ++i)
        ResolveFragments(pages[i].Xhtml, pending[i], map);
    std::vector<std::string> lostArticles;
    for (const auto& [index, title] : facts.ArticleTitles)
        if (issue->Pages().count(index) == 0)
            lostArticles.push_back(Utf8FromCp1251("«") + title + Utf8FromCp1251("» (") +
                                   MakePageName(Name, index) + ".htm)");
    // The contents page's own pictures are known once it is converted; it is converted again with the notice.
    std::set<std::string> contentsMissing = missing;
    ToXhtml(contents, 0, map, facts.Title, std::string(), contentsMissing);
    for (const std::string& picture : unsupported)
        contentsMissing.erase(picture);
    pages[0].Xhtml = ToXhtml(contents, 0, map, facts.Title,
                             MissingNotice(lostArticles, contentsMissing, unsupported), missing);

    // The temporary that TAtomicFile creates holds the book's name until libzip has written the book under
    // the temporary's name; Commit then gives it the book's name, never over anything.
    BrintLib::TAtomicFile file;
    if (const int error = file.Create(path))
        APL_THROW("Ошибка при открытии файла " << path << ": " << BrintLib::GetErrorDescription(error));
    TBookArchive book(BrintLib::NativePath(BrintLib::TAtomicFile::TemporaryPath(path)));
    book.Add("mimetype", "application/epub+zip", true);
    book.Add("META-INF/container.xml", kContainer);
    book.Add(kPackagePath, PackageDocument(facts, identifier, Name, pages, pictures, facts.Cover, copy));
    book.Add("EPUB/nav.xhtml", NavDocument(facts, Name, pages));
    book.Add("EPUB/style.css", kStyle);
    for (TBookPage& page : pages)
        book.Add("EPUB/" + BookPageName(Name, page.Index), std::move(page.Xhtml));
    for (const TBookPicture& picture : pictures)
        book.AddSource("EPUB/" + picture.BookFile, issue->Source(book.Archive(), picture.File), true);
    book.Close(path);
    // A book of Skerrow's is replaced whole; nothing else ever is.
    if (const int error = replace ? file.CommitReplacing() : file.Commit()) {
        if (error == EEXIST)
            APL_THROW("Файл " << path << " уже существует");
        APL_THROW("Ошибка при записи " << path << ": " << BrintLib::GetErrorDescription(error));
    }
    return {path, false};
}

std::optional<TBookFacts> ReadIssueBook(const std::string& Path, bool WithCover)
{
    int error = 0;
    const BrintLib::TZipArchivePtr archive(zip_open(BrintLib::NativePath(Path).c_str(), ZIP_RDONLY, &error));
    if (!archive)
        return std::nullopt;
    const BrintLib::TXmlDocPtr doc =
        BrintLib::ReadXml(ReadEntry(archive.get(), kPackagePath), "utf-8",
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return std::nullopt;
    bool ours = false;
    TBookFacts facts;
    std::string cover;
    std::map<std::string, std::string> files; // manifest id -> href
    std::vector<std::string> spine;           // ids
    ForEachElement(BrintLib::XmlRoot(doc.get()), [&](xmlNode* Element) {
        const std::string name = reinterpret_cast<const char*>(Element->name);
        if (name == "meta" && Attribute(Element, "name") == "generator")
            ours = Attribute(Element, "content") == kGenerator;
        else if (name == "meta" && Attribute(Element, "name") == kCopyMeta)
            facts.Copy = Attribute(Element, "content");
        else if (name == "title" && facts.Title.empty())
            facts.Title = NodeText(Element);
        else if (name == "identifier" && facts.Identifier.empty())
            facts.Identifier = NodeText(Element);
        else if (name == "itemref")
            spine.push_back(Attribute(Element, "idref"));
        else if (name == "item") {
            files[Attribute(Element, "id")] = Attribute(Element, "href");
            facts.MediaTypes[Attribute(Element, "href")] = Attribute(Element, "media-type");
            if (Attribute(Element, "properties") == "cover-image") {
                cover = Attribute(Element, "href");
                facts.CoverType = Attribute(Element, "media-type");
            }
        }
    });
    if (!ours)
        return std::nullopt;
    for (const std::string& id : spine)
        facts.Spine.push_back(files[id]);
    facts.Articles = spine.empty() ? 0 : spine.size() - 1;
    if (WithCover && !cover.empty())
        facts.Cover = ReadEntry(archive.get(), ("EPUB/" + cover).c_str());
    return facts;
}
