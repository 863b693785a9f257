#include "reader/IssuePages.h"

#include <cstring>

#include "IssueNames.h"
#include "libs/Charset.h"
#include "libs/Exceptions.h"
#include "reader/SavedIssue.h"

namespace {

const char* const kMonths[12] = {"Январь", "Февраль", "Март",     "Апрель",  "Май",    "Июнь",
                                 "Июль",   "Август",  "Сентябрь", "Октябрь", "Ноябрь", "Декабрь"};

xmlNode* FindBelow(xmlNode* Node, const char* Name)
{
    for (xmlNode* child = Node; child != nullptr; child = child->next) {
        if (IsElement(child, Name))
            return child;
        if (xmlNode* found = FindBelow(child->children, Name))
            return found;
    }
    return nullptr;
}

void AppendText(const xmlNode* Node, std::string& Text)
{
    for (const xmlNode* child = Node; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE)
            Text += reinterpret_cast<const char*>(child->content);
        else if (child->type == XML_ELEMENT_NODE && !IsElement(child, "script") && !IsElement(child, "style"))
            AppendText(child->children, Text);
    }
}

/// Text with the byte that windows-1251 leaves undefined (0x98) made '?'.
std::string MaskUndefined(std::string Text)
{
    for (char& c : Text)
        if (c == '\x98')
            c = '?';
    return Text;
}

struct TFacts {
    const std::string& Name;
    TContentsFacts& Facts;
    std::string FirstPicture;
    bool SeenArticle = false;
    std::string Section; ///< the section heading met after the last article link
};

/// The class that marks a section heading on a contents page that the program made.
const char kSectionClass[] = "skerrow-section";

void Gather(const xmlNode* Node, TFacts& Facts)
{
    for (const xmlNode* child = Node; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (IsElement(child, "a")) {
            const size_t index = PageIndex(Facts.Name, Attribute(child, "href"));
            if (index != std::string::npos && index != 0) {
                Facts.SeenArticle = true;
                if (!Facts.Section.empty())
                    Facts.Facts.SectionStarts.emplace(index, Facts.Section);
                Facts.Section.clear();
                const std::string text = NodeText(child);
                if (!text.empty())
                    Facts.Facts.ArticleTitles.emplace(index, text);
            }
        } else if (IsElement(child, "img") && !Facts.SeenArticle && Facts.FirstPicture.empty()) {
            Facts.FirstPicture = Attribute(child, "src");
        } else if (IsElement(child, "h2") && Attribute(child, "class") == kSectionClass) {
            Facts.Section = NodeText(child);
            continue;
        } else if (IsElement(child, "meta") && Attribute(child, "name") == "DC.publisher") {
            Facts.Facts.Publisher = Attribute(child, "content");
        } else if (IsElement(child, "meta") && Attribute(child, "name") == "DC.language" &&
                   !Attribute(child, "content").empty()) {
            Facts.Facts.Language = Attribute(child, "content");
        }
        Gather(child->children, Facts);
    }
}

} // namespace

TParsedPage::TParsedPage(const std::string& Html)
    : m_Doc(BrintLib::ReadHtml(Html, "windows-1251",
                               HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                   HTML_PARSE_NONET))
{
    if (!m_Doc)
        m_Doc = BrintLib::ReadHtml("<html></html>", "utf-8", HTML_PARSE_NOERROR);
}

xmlNode* TParsedPage::Find(const char* Name) const
{
    return FindBelow(Root(), Name);
}

bool IsElement(const xmlNode* Node, const char* Name)
{
    return Node != nullptr && Node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(Node->name), Name) == 0;
}

std::string Attribute(const xmlNode* Element, const char* Name)
{
    return BrintLib::XmlAttribute(Element, Name);
}

std::string NodeText(const xmlNode* Node)
{
    std::string text;
    if (Node != nullptr)
        AppendText(Node->children, text);
    return CollapseSpace(text);
}

TContentsFacts ReadContentsFacts(const TParsedPage& Contents, const std::string& Name)
{
    TContentsFacts facts;
    const std::optional<TIssueName> name = ReadIssueName(Name);
    const int month = name ? name->Month() : 0;
    const std::string year = Name.substr(0, Name.find('_'));
    facts.Date = month != 0 ? year + "-" + name->Code : year;
    facts.Month = month != 0 ? Utf8FromCp1251(kMonths[month - 1]) + " " + year : year;
    std::string title = NodeText(Contents.Find("title"));
    // Pages name the issue by its directory's name; the book names it by its month.
    for (size_t at = title.find(Name); at != std::string::npos;
         at = title.find(Name, at + facts.Month.size()))
        title.replace(at, Name.size(), facts.Month);
    if (title.find(facts.Month) == std::string::npos)
        title = title.empty() ? facts.Month : title + Utf8FromCp1251(" — ") + facts.Month;
    facts.Title = title;
    TFacts gathered{Name, facts, std::string(), false, std::string()};
    if (const xmlNode* head = Contents.Find("head"))
        Gather(head->children, gathered);
    if (const xmlNode* body = Contents.Find("body"))
        Gather(body->children, gathered);
    else
        Gather(Contents.Root(), gathered);
    facts.Cover = gathered.FirstPicture;
    return facts;
}

std::string Utf8FromCp1251(const std::string& Text)
{
    std::string result;
    // Every windows-1251 byte but the one left undefined has its character.
    if (!BrintLib::Cp1251ToUtf8(Text, result))
        FATAL_CHECK(BrintLib::Cp1251ToUtf8(MaskUndefined(Text), result));
    return result;
}
