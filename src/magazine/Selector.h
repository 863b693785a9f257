// Selectors of a described magazine: a subset of CSS evaluated on a page as a browser builds it.
//
// A page is parsed by gumbo, which builds the tree the HTML standard prescribes (implied and misnested
// tags, tables, foster parenting) and tells where each element stands in the page's bytes. Pages inside
// the program are windows-1251; gumbo reads UTF-8, but every byte of markup syntax and every ASCII name
// is the same in both, and a byte that is no UTF-8 is read as one replacement character without taking
// the bytes after it: the tree is the one a browser builds from the same page in its own charset. So
// texts and values are never taken from gumbo's decoded strings but from the page's own bytes, at the
// positions gumbo gives (attribute values too, when a selector compares them).
//
// The subset: type selectors and '*', .class, #id, [attr], [attr=value], [attr~=value], [attr^=value]
// (values bare or quoted), :first-of-type, :nth-of-type(n) for a whole number n, the descendant (blank)
// and child ('>') combinators, and lists apart by ','. Matches come in document order, each once.
#pragma once

#include <gumbo.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Magazine {

/// One page parsed into the tree a browser builds; the page's bytes must outlive the tree.
class THtmlTree {
  public:
    /// Page: the page's bytes (windows-1251), not copied.
    explicit THtmlTree(std::string_view Page);
    const GumboNode* Root() const { return m_Output->root; }
    std::string_view Page() const { return m_Page; }

  private:
    struct TDeleter {
        void operator()(GumboOutput* Output) const;
    };
    std::string_view m_Page;
    std::unique_ptr<GumboOutput, TDeleter> m_Output;
};

/// Where an element stands in its page: [Begin, End) from its start tag to the end of its end tag, or to
/// where the next tag ended it when its end tag is implied. An element that the parser made up (no start
/// tag of its own in the page) spans its children's bytes.
struct TRange {
    size_t Begin = 0;
    size_t End = 0;
};
TRange OuterRange(const GumboNode* Element, std::string_view Page);
/// The bytes of an element's start tag; empty for one that the parser made up.
TRange StartTagRange(const GumboNode* Element, std::string_view Page);

/// The value of the attribute Name (lower case) of Element as the page writes it, its quotes taken off
/// and its character references left as they stand; null when it has no such attribute.
const GumboAttribute* FindAttribute(const GumboNode* Element, const char* Name);
std::string_view RawValue(const GumboAttribute& Attribute, std::string_view Page);
/// The element's tag name in lower case ("div", "my-widget").
std::string TagName(const GumboNode* Element);
/// The text of Element as the page writes it: its bytes with the tags left out, every run of white
/// space one blank, trimmed; character references stay as they stand.
std::string ElementText(const GumboNode* Element, std::string_view Page);

/// A compiled selector list.
class TSelector {
  public:
    /// Parses Text (ASCII syntax; values in windows-1251). Returns false with Error set to what was
    /// expected and ErrorAt to the offset in Text where it was expected.
    static bool Parse(std::string_view Text, TSelector& Result, std::string& Error, size_t& ErrorAt);

    /// The elements below Root (template contents left out, as a browser's querySelectorAll does) that
    /// match, in document order. Page is the tree's page, whose bytes the values are read from.
    std::vector<const GumboNode*> Select(const THtmlTree& Tree) const;
    /// The same below Element alone (its descendants; Element itself not).
    std::vector<const GumboNode*> SelectBelow(const GumboNode* Element, std::string_view Page) const;
    /// Whether Element matches.
    bool Matches(const GumboNode* Element, std::string_view Page) const;
    bool Empty() const { return m_Complex.empty(); }

    struct TCompound;
    struct TComplex;

  private:
    std::vector<std::shared_ptr<const TComplex>> m_Complex;
};

} // namespace Magazine
