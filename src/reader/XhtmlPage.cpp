#include "reader/XhtmlPage.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "Generic_Parser.h"
#include "libs/Url.h"
#include "reader/SavedIssue.h"

namespace {

/// What ends every page of the book, after its body.
const char kDocumentEnd[] = "\n</body>\n</html>\n";

/// Where an element stands, for the content model of its children.
enum class TPlace { Flow, Table, Section, Row, List, Definitions };

/// Elements left out with everything in them.
const char* const kDropped[] = {
    "script", "style",  "noscript", "iframe", "object",   "embed", "applet",   "form",
    "input",  "select", "textarea", "button", "option",   "head",  "title",    "meta",
    "link",   "base",   "map",      "area",   "frameset", "frame", "noframes", "svg",
    "math",   "video",  "audio",    "canvas", "template", "param", "col",      "colgroup"};
/// Obsolete elements and what stands for them.
const std::pair<const char*, const char*> kMapped[] = {
    {"center", "div"}, {"font", "span"}, {"big", "span"},     {"nobr", "span"},   {"blink", "span"},
    {"strike", "s"},   {"tt", "code"},   {"xmp", "pre"},      {"listing", "pre"}, {"plaintext", "pre"},
    {"dir", "ul"},     {"menu", "ul"},   {"acronym", "abbr"}, {"marquee", "div"}};
/// Elements that hold phrasing content only.
const char* const kPhrasingModel[] = {"p",    "h1",  "h2",   "h3",   "h4",  "h5",   "h6",     "pre",
                                      "span", "b",   "i",    "u",    "s",   "em",   "strong", "small",
                                      "sub",  "sup", "code", "cite", "q",   "abbr", "dfn",    "kbd",
                                      "samp", "var", "mark", "time", "bdo", "bdi"};
/// Elements kept as they are, besides those above, the table's and the lists'.
const char* const kFlowOnly[] = {
    "div",        "p",       "h1",    "h2",     "h3",     "h4",    "h5",      "h6",      "hr",
    "blockquote", "pre",     "ul",    "ol",     "dl",     "table", "address", "figure",  "figcaption",
    "section",    "article", "aside", "header", "footer", "nav",   "main",    "caption", "thead",
    "tbody",      "tfoot",   "tr",    "td",     "th",     "li",    "dt",      "dd"};
const char* const kPhrasing[] = {"a", "br", "wbr", "img", "del", "ins"};
const char* const kVoid[] = {"br", "hr", "img", "wbr"};

template <size_t N> bool OneOf(const char* const (&Names)[N], const std::string& Name)
{
    for (const char* name : Names)
        if (Name == name)
            return true;
    return false;
}

std::string Name(const xmlNode* Node)
{
    return reinterpret_cast<const char*>(Node->name);
}

bool IsDropped(const xmlNode* Node)
{
    return Node->type == XML_ELEMENT_NODE && OneOf(kDropped, Name(Node));
}

/// The element that stands for Node in the book before its place is looked at; empty: Node is left out
/// but its content kept.
std::string MappedName(const xmlNode* Node)
{
    const std::string name = Name(Node);
    for (const auto& [from, to] : kMapped)
        if (name == from)
            return to;
    if (OneOf(kPhrasingModel, name) || OneOf(kFlowOnly, name) || OneOf(kPhrasing, name))
        return name;
    return std::string();
}

bool IsValidId(const std::string& Id)
{
    if (Id.empty() || !(std::isalpha(static_cast<unsigned char>(Id[0])) || Id[0] == '_'))
        return false;
    for (const char c : Id)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

/// The id an element keeps: its id, or for <a> its name; empty when none.
std::string ElementId(const xmlNode* Node)
{
    std::string id = Attribute(Node, "id");
    if (id.empty() && IsElement(Node, "a"))
        id = Attribute(Node, "name");
    return IsValidId(id) ? id : std::string();
}

void CollectIds(const xmlNode* Node, std::set<std::string>& Ids)
{
    for (const xmlNode* child = Node; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || IsDropped(child))
            continue;
        const std::string id = ElementId(child);
        if (!id.empty())
            Ids.insert(id);
        CollectIds(child->children, Ids);
    }
}

const xmlNode* BodyOf(const TParsedPage& Page)
{
    if (const xmlNode* body = Page.Find("body"))
        return body;
    return Page.Root();
}

std::string Trim(const std::string& Text)
{
    const size_t first = Text.find_first_not_of(" \t\r\n\f");
    if (first == std::string::npos)
        return std::string();
    return Text.substr(first, Text.find_last_not_of(" \t\r\n\f") - first + 1);
}

bool IsBlank(const char* Text)
{
    for (; *Text != '\0'; ++Text)
        if (!std::isspace(static_cast<unsigned char>(*Text)))
            return false;
    return true;
}

/// Bytes that may not stand in an address percent-encoded (UTF-8 as it is), so that the address can be
/// resolved as ASCII.
std::string PercentEncode(const std::string& Text)
{
    std::string result;
    for (const char c : Text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' && c != '^' &&
            c != '`' && c != '{' && c != '|' && c != '}') {
            result += c;
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", byte);
            result += code;
        }
    }
    return result;
}

class TConverter {
  public:
    TConverter(size_t Index, const TBookMap& Map, std::set<std::string>& Missing,
               std::vector<TPendingFragment>* Pending)
        : m_Index(Index), m_Map(Map), m_Missing(Missing), m_Pending(Pending)
    {
    }

    void Children(const xmlNode* Node, TPlace Place, bool InLink)
    {
        for (const xmlNode* child = Node; child != nullptr; child = child->next)
            One(child, Place, InLink);
    }

    std::string m_Out;

  private:
    bool NeedsFlow(const xmlNode* Node)
    {
        const auto known = m_NeedsFlow.find(Node);
        if (known != m_NeedsFlow.end())
            return known->second;
        bool needs = false;
        if (Node->type == XML_ELEMENT_NODE && !IsDropped(Node)) {
            const std::string name = MappedName(Node);
            needs = (!name.empty() && OneOf(kFlowOnly, name)) || ContainsFlow(Node);
        }
        m_NeedsFlow.emplace(Node, needs);
        return needs;
    }

    bool ContainsFlow(const xmlNode* Node)
    {
        for (const xmlNode* child = Node->children; child != nullptr; child = child->next)
            if (NeedsFlow(child))
                return true;
        return false;
    }

    /// Opens what Place needs around content that is not of its own kind; returns what closes it.
    std::string Wrap(TPlace Place)
    {
        switch (Place) {
        case TPlace::Table:
        case TPlace::Section:
            m_Out += "<tr><td>";
            return "</td></tr>";
        case TPlace::Row:
            m_Out += "<td>";
            return "</td>";
        case TPlace::List:
            m_Out += "<li>";
            return "</li>";
        case TPlace::Definitions:
            m_Out += "<dd>";
            return "</dd>";
        case TPlace::Flow:
            break;
        }
        return std::string();
    }

    void One(const xmlNode* Node, TPlace Place, bool InLink)
    {
        if (Node->type == XML_TEXT_NODE || Node->type == XML_CDATA_SECTION_NODE) {
            const char* text = reinterpret_cast<const char*>(Node->content);
            if (Place != TPlace::Flow && IsBlank(text))
                return;
            const std::string close = Wrap(Place);
            m_Out += XmlEscape(text);
            m_Out += close;
            return;
        }
        if (Node->type != XML_ELEMENT_NODE || IsDropped(Node))
            return;
        std::string name = MappedName(Node);
        if (name.empty()) {
            Children(Node->children, Place, InLink);
            return;
        }
        std::string attributes;
        if (name == "img") {
            const auto picture = m_Map.Pictures.find(Trim(Attribute(Node, "src")));
            if (picture == m_Map.Pictures.end()) {
                const std::string src = Trim(Attribute(Node, "src"));
                if (src.compare(0, m_Map.IssueName.size() + 1, m_Map.IssueName + "_") == 0)
                    m_Missing.insert(src);
                return;
            }
            attributes += " src=\"" + XmlEscape(picture->second) + "\" alt=\"" +
                          XmlEscape(Attribute(Node, "alt")) + "\"";
        }
        const std::string original = Name(Node);
        // Table parts and list items away from their table or list become divisions.
        const bool cell = name == "td" || name == "th";
        if ((cell && Place != TPlace::Row) ||
            (name == "tr" && Place != TPlace::Table && Place != TPlace::Section) ||
            ((name == "thead" || name == "tbody" || name == "tfoot" || name == "caption") &&
             Place != TPlace::Table) ||
            (name == "li" && Place != TPlace::List) ||
            ((name == "dt" || name == "dd") && Place != TPlace::Definitions))
            name = "div";
        if (name == "a" && InLink)
            name = "span";
        if (OneOf(kPhrasingModel, name) && ContainsFlow(Node))
            name = "div";
        std::string close;
        const bool fits =
            (Place == TPlace::Row && cell) ||
            (Place == TPlace::Table &&
             (name == "tr" || name == "thead" || name == "tbody" || name == "tfoot" || name == "caption")) ||
            (Place == TPlace::Section && name == "tr") || (Place == TPlace::List && name == "li") ||
            (Place == TPlace::Definitions && (name == "dt" || name == "dd")) || Place == TPlace::Flow;
        if (!fits)
            close = Wrap(Place);
        Attributes(Node, name, original, attributes);
        m_Out += "<" + name + attributes;
        if (OneOf(kVoid, name)) {
            m_Out += "/>";
            m_Out += close;
            return;
        }
        m_Out += ">";
        TPlace inner = TPlace::Flow;
        if (name == "table")
            inner = TPlace::Table;
        else if (name == "thead" || name == "tbody" || name == "tfoot")
            inner = TPlace::Section;
        else if (name == "tr")
            inner = TPlace::Row;
        else if (name == "ul" || name == "ol")
            inner = TPlace::List;
        else if (name == "dl")
            inner = TPlace::Definitions;
        Children(Node->children, inner, InLink || name == "a");
        m_Out += "</" + name + ">" + close;
    }

    void Attributes(const xmlNode* Node, const std::string& Out, const std::string& Original,
                    std::string& Text)
    {
        const std::string id = ElementId(Node);
        if (!id.empty() && m_Ids.insert(id).second)
            Text += " id=\"" + id + "\"";
        for (const char* name : {"class", "title"}) {
            const std::string value = Trim(Attribute(Node, name));
            if (!value.empty())
                Text += std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
        }
        if (Out == "td" || Out == "th") {
            for (const char* name : {"colspan", "rowspan"}) {
                const std::string value = Trim(Attribute(Node, name));
                if (!value.empty() && value.size() < 4 &&
                    value.find_first_not_of("0123456789") == std::string::npos &&
                    std::atoi(value.c_str()) > 0)
                    Text += std::string(" ") + name + "=\"" + value + "\"";
            }
        }
        if (Out == "a") {
            std::string fragment;
            const std::string href = Link(Trim(Attribute(Node, "href")), fragment);
            if (!href.empty()) {
                Text += " href=\"" + XmlEscape(href);
                // Where the element's text goes in m_Out: after "<", its name and Text.
                if (!fragment.empty())
                    m_Pending->push_back(
                        {m_Out.size() + 1 + Out.size() + Text.size(), m_PendingPage, fragment});
                Text += "\"";
            }
        }
        std::string style;
        std::string align = Attribute(Node, "align");
        for (char& c : align)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (Original == "center")
            style += "text-align: center;";
        if ((Out == "img" || Out == "table") && (align == "left" || align == "right"))
            style += "float: " + align + ";";
        else if (Out != "img" && Out != "table" &&
                 (align == "left" || align == "right" || align == "center" || align == "justify"))
            style += "text-align: " + align + ";";
        std::string valign = Attribute(Node, "valign");
        if (valign == "top" || valign == "middle" || valign == "bottom" || valign == "baseline")
            style += "vertical-align: " + valign + ";";
        if (!style.empty())
            Text += " style=\"" + style + "\"";
    }

    /// The book's address for a link of the page; empty: the link leads nowhere the book can go. A link to
    /// an id of a page is left without it, with the id in Pending, when m_Pending is set.
    std::string Link(const std::string& Href, std::string& Pending)
    {
        if (Href.empty())
            return std::string();
        if (Href[0] == '#') {
            const auto ids = m_Map.Ids.find(m_Index);
            return ids != m_Map.Ids.end() && ids->second.count(Href.substr(1)) != 0 ? Href : std::string();
        }
        std::string fragment;
        const size_t page = PageIndex(m_Map.IssueName, Href, &fragment);
        if (page != std::string::npos) {
            const auto ids = m_Map.Ids.find(page);
            if (ids == m_Map.Ids.end())
                return std::string();
            std::string target = BookPageName(m_Map.IssueName, page);
            if (!fragment.empty() && m_Pending != nullptr) {
                Pending = fragment;
                m_PendingPage = page;
            } else if (!fragment.empty() && ids->second.count(fragment) != 0)
                target += "#" + fragment;
            return target;
        }
        // Pictures of the issue, saved or not, are no pages of the book.
        if (Href.compare(0, m_Map.IssueName.size() + 1, m_Map.IssueName + "_") == 0)
            return std::string();
        std::string scheme;
        const size_t colon = Href.find(':');
        if (colon != std::string::npos && Href.find_first_of("/?#") > colon)
            for (size_t i = 0; i < colon; ++i)
                scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(Href[i])));
        if (scheme == "mailto")
            return PercentEncode(Href);
        if (m_Map.Base == nullptr || (!scheme.empty() && scheme != "http" && scheme != "https"))
            return std::string();
        const size_t hash = Href.find('#');
        std::string resolved;
        if (!m_Map.Base->Resolve(PercentEncode(Href.substr(0, hash)), resolved))
            return std::string();
        if (hash != std::string::npos && hash + 1 < Href.size())
            resolved += "#" + PercentEncode(Href.substr(hash + 1));
        return resolved;
    }

    size_t m_Index;
    const TBookMap& m_Map;
    std::set<std::string>& m_Missing;
    std::vector<TPendingFragment>* m_Pending;
    size_t m_PendingPage = 0; ///< the page of the fragment that Link last left pending
    std::set<std::string> m_Ids;
    std::unordered_map<const xmlNode*, bool> m_NeedsFlow;
};

} // namespace

std::set<std::string> PageIds(const TParsedPage& Page)
{
    std::set<std::string> ids;
    CollectIds(BodyOf(Page)->children, ids);
    return ids;
}

std::string ToXhtml(const TParsedPage& Page, size_t Index, const TBookMap& Map, const std::string& Title,
                    const std::string& Preface, std::set<std::string>& Missing,
                    std::vector<TPendingFragment>* Pending)
{
    const size_t pendingBefore = Pending != nullptr ? Pending->size() : 0;
    TConverter converter(Index, Map, Missing, Pending);
    converter.m_Out = Preface;
    converter.Children(BodyOf(Page)->children, TPlace::Flow, false);
    std::string document = XhtmlDocument(Title, converter.m_Out, Map.Language);
    // The body's place in the document: what Pending holds are places in the body.
    const size_t body = document.size() - converter.m_Out.size() - std::strlen(kDocumentEnd);
    for (size_t i = pendingBefore; Pending != nullptr && i < Pending->size(); ++i)
        (*Pending)[i].At += body;
    return document;
}

void ResolveFragments(std::string& Xhtml, const std::vector<TPendingFragment>& Pending, const TBookMap& Map)
{
    // Pending is in the page's order.
    std::string resolved;
    size_t copied = 0;
    bool added = false;
    for (const TPendingFragment& link : Pending) {
        const auto ids = Map.Ids.find(link.Page);
        if (ids == Map.Ids.end() || ids->second.count(link.Fragment) == 0)
            continue;
        resolved.append(Xhtml, copied, link.At - copied);
        resolved += "#" + XmlEscape(link.Fragment);
        copied = link.At;
        added = true;
    }
    if (!added)
        return;
    resolved.append(Xhtml, copied, std::string::npos);
    Xhtml = std::move(resolved);
}

std::string XhtmlDocument(const std::string& Title, const std::string& Body, const std::string& Language)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\" "
           "xml:lang=\"" +
           XmlEscape(Language) + "\" lang=\"" + XmlEscape(Language) +
           "\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" + XmlEscape(Title) +
           "</title>\n<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\"/>\n</head>\n<body>\n" +
           Body + kDocumentEnd;
}

std::string BookPageName(const std::string& Name, size_t Index)
{
    return MakePageName(Name, Index) + ".xhtml";
}
