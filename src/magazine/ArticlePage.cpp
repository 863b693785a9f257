#include "magazine/ArticlePage.h"

#include <algorithm>
#include <vector>

#include "Generic_Parser.h"
#include "PictureSources.h"
#include "libs/Url.h"

namespace Magazine {

namespace {

/// One change to the page's bytes [Begin, End).
struct TEdit {
    size_t Begin;
    size_t End;
    std::string Text;
};

bool IsElement(const GumboNode* Node, GumboTag Tag)
{
    return Node != nullptr && Node->type == GUMBO_NODE_ELEMENT && Node->v.element.tag == Tag;
}

/// Whether Node is a <picture> (a tag that gumbo does not name).
bool IsPicture(const GumboNode* Node)
{
    return IsElement(Node, GUMBO_TAG_UNKNOWN) && TagName(Node) == "picture";
}

/// The value of attribute Name of Element as the page writes it; empty when absent.
std::string_view Value(const GumboNode* Element, const char* Name, std::string_view Page)
{
    const GumboAttribute* attribute = FindAttribute(Element, Name);
    return attribute == nullptr ? std::string_view() : RawValue(*attribute, Page);
}

bool IsBlankText(std::string_view Text)
{
    return Text.find_first_not_of(" \t\r\n\f") == std::string_view::npos;
}

/// The srcset value of Element: the lazy loader's data-srcset before srcset.
std::string_view Srcset(const GumboNode* Element, std::string_view Page)
{
    const std::string_view lazy = Value(Element, "data-srcset", Page);
    return IsBlankText(lazy) ? Value(Element, "srcset", Page) : lazy;
}

/// Adds the edits of the subtree of Node (inside a kept element) to Edits.
void CollectEdits(const GumboNode* Node, const TDescription& Description, std::string_view Page,
                  const BrintLib::TPageUrl& PageUrl, std::vector<TEdit>& Edits)
{
    if (Node->type != GUMBO_NODE_ELEMENT)
        return;
    for (const TSelector& remove : Description.Remove) {
        if (remove.Matches(Node, Page)) {
            const TRange range = OuterRange(Node, Page);
            Edits.push_back(TEdit{range.Begin, range.End, std::string()});
            return;
        }
    }
    const TRange tag = StartTagRange(Node, Page);
    if (tag.End > tag.Begin) {
        if (IsElement(Node, GUMBO_TAG_IMG)) {
            std::string address = PictureAddress(Node, Page, Description.PictureAttributes);
            std::string text;
            if (!address.empty()) {
                if (const std::string_view url = ResolveValue(PageUrl, address); !url.empty())
                    address = std::string(url);
                text = "<img src=\"" + address + "\">";
            }
            Edits.push_back(TEdit{tag.Begin, tag.End, text});
        } else if (IsElement(Node, GUMBO_TAG_SOURCE) && IsPicture(Node->parent)) {
            Edits.push_back(TEdit{tag.Begin, tag.End, std::string()});
        } else if (IsElement(Node, GUMBO_TAG_A)) {
            const GumboAttribute* href = FindAttribute(Node, "href");
            const std::string_view value = href == nullptr ? std::string_view() : RawValue(*href, Page);
            const std::string_view url = value.empty() ? std::string_view() : ResolveValue(PageUrl, value);
            if (!url.empty()) {
                const size_t fragment = FragmentStart(value);
                std::string text = "href=\"" + std::string(url);
                if (fragment != std::string_view::npos)
                    text += value.substr(fragment);
                text += '"';
                const size_t begin = static_cast<size_t>(href->original_name.data - Page.data());
                const size_t end = static_cast<size_t>(href->original_value.data - Page.data()) +
                                   href->original_value.length;
                if (begin >= tag.Begin && end <= tag.End && begin < end)
                    Edits.push_back(TEdit{begin, end, text});
            }
        }
    }
    const GumboVector& children = Node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i)
        CollectEdits(static_cast<const GumboNode*>(children.data[i]), Description, Page, PageUrl, Edits);
}

/// Appends [Range) of Page to Out with the edits that fall in it applied (sorted by Begin; an edit inside
/// an earlier one goes with it).
void AppendEdited(std::string& Out, std::string_view Page, TRange Range, std::vector<TEdit>& Edits)
{
    std::stable_sort(Edits.begin(), Edits.end(),
                     [](const TEdit& A, const TEdit& B) { return A.Begin < B.Begin; });
    size_t at = Range.Begin;
    for (const TEdit& edit : Edits) {
        if (edit.Begin < at || edit.End > Range.End)
            continue;
        Out.append(Page.substr(at, edit.Begin - at));
        Out += edit.Text;
        at = edit.End;
    }
    Out.append(Page.substr(at, Range.End - at));
}

} // namespace

std::string PictureAddress(const GumboNode* Image, std::string_view Page,
                           const std::vector<std::string>& Attributes)
{
    // Every srcset that the browser chooses from, joined: the widest candidate of all.
    std::string candidates;
    if (IsPicture(Image->parent)) {
        const GumboVector& siblings = Image->parent->v.element.children;
        for (unsigned i = 0; i < siblings.length; ++i) {
            const GumboNode* sibling = static_cast<const GumboNode*>(siblings.data[i]);
            if (IsElement(sibling, GUMBO_TAG_SOURCE))
                candidates.append(Srcset(sibling, Page)).append(" , ");
        }
    }
    candidates.append(Srcset(Image, Page));
    const std::string_view widest = WidestCandidate(candidates);
    if (!widest.empty())
        return std::string(widest);
    for (const std::string& name : Attributes) {
        const std::string_view value = Value(Image, name.c_str(), Page);
        if (IsBlankText(value))
            continue;
        // A placeholder written into the page itself is no picture to fetch.
        if (value.substr(value.find_first_not_of(" \t\r\n\f"), 5) == "data:")
            continue;
        return std::string(value);
    }
    return std::string();
}

std::string LinkAddress(const GumboNode* Element, std::string_view Page, const std::string& Attribute,
                        const BrintLib::TPageUrl& PageUrl)
{
    std::string_view value;
    if (!Attribute.empty()) {
        value = Value(Element, Attribute.c_str(), Page);
    } else if (FindAttribute(Element, "href") != nullptr) {
        value = Value(Element, "href", Page);
    } else {
        static const TSelector links = [] {
            TSelector selector;
            std::string error;
            size_t at = 0;
            TSelector::Parse("a[href]", selector, error, at);
            return selector;
        }();
        const std::vector<const GumboNode*> found = links.SelectBelow(Element, Page);
        if (!found.empty())
            value = Value(found.front(), "href", Page);
    }
    if (IsBlankText(value))
        return std::string();
    return std::string(ResolveValue(PageUrl, value));
}

TKeptPage KeepArticle(const TDescription& Description, const std::string& Page,
                      const BrintLib::TPageUrl& PageUrl)
{
    const THtmlTree tree(Page);
    TKeptPage result;
    std::vector<const GumboNode*> kept;
    for (const TSelector& keep : Description.Keep) {
        const std::vector<const GumboNode*> found = keep.Select(tree);
        kept.insert(kept.end(), found.begin(), found.end());
    }
    std::vector<std::pair<TRange, const GumboNode*>> ranges;
    for (const GumboNode* element : kept)
        ranges.emplace_back(OuterRange(element, Page), element);
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const auto& A, const auto& B) { return A.first.Begin < B.first.Begin; });
    size_t keptUpTo = 0;
    for (const auto& [range, element] : ranges) {
        // One inside another kept element goes with it.
        if (range.End <= range.Begin || range.Begin < keptUpTo)
            continue;
        keptUpTo = range.End;
        // A kept element that a remove selector matches is cut out whole, as one inside it would be.
        std::vector<TEdit> edits;
        CollectEdits(element, Description, Page, PageUrl, edits);
        std::string piece;
        AppendEdited(piece, Page, range, edits);
        if (piece.empty())
            continue;
        if (!result.Text.empty())
            result.Text += '\n';
        result.Text += piece;
    }
    if (!Description.Title.Empty()) {
        const std::vector<const GumboNode*> titles = Description.Title.Select(tree);
        if (!titles.empty())
            result.Title = ElementText(titles.front(), Page);
    }
    if (Description.HasNext) {
        const std::vector<const GumboNode*> next = Description.Next.Selector.Select(tree);
        if (!next.empty())
            result.NextUrl = LinkAddress(next.front(), Page, Description.Next.Attribute, PageUrl);
    }
    return result;
}

} // namespace Magazine
