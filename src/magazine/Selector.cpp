#include "magazine/Selector.h"

#include <algorithm>
#include <cstring>

#include "libs/strings.h"

namespace Magazine {

namespace {

bool IsNameByte(char C)
{
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '_' || static_cast<unsigned char>(C) >= 0x80;
}

char Lower(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C;
}

std::string LowerAscii(std::string_view Text)
{
    std::string result(Text);
    std::transform(result.begin(), result.end(), result.begin(), Lower);
    return result;
}

bool IsElementNode(const GumboNode* Node)
{
    return Node != nullptr && (Node->type == GUMBO_NODE_ELEMENT || Node->type == GUMBO_NODE_TEMPLATE);
}

/// Whether the parser made Element up or copied it from another one: its start tag is not its own.
bool MadeUp(const GumboNode* Element)
{
    const unsigned copied =
        GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT | GUMBO_INSERTION_ADOPTION_AGENCY_CLONED;
    return Element->v.element.original_tag.length == 0 || (Element->parse_flags & copied) != 0;
}

/// Whether the end tag that ended Element is its own: the parser records the end tag of another element
/// that closed it too ("</div>" for a <p> inside).
bool HasOwnEndTag(const GumboNode* Element)
{
    const GumboStringPiece& tag = Element->v.element.original_end_tag;
    if (tag.length < 3 || tag.data[0] != '<' || tag.data[1] != '/')
        return false;
    GumboStringPiece name = tag;
    gumbo_tag_from_original_text(&name);
    const std::string own = TagName(Element);
    if (name.length != own.size())
        return false;
    for (size_t i = 0; i < own.size(); ++i) {
        if (Lower(name.data[i]) != own[i])
            return false;
    }
    return true;
}

size_t OffsetIn(std::string_view Page, const char* At)
{
    if (At < Page.data() || At > Page.data() + Page.size())
        return Page.size();
    return static_cast<size_t>(At - Page.data());
}

/// Where a node's bytes begin and end; false for a node that has none in the page.
bool NodeRange(const GumboNode* Node, std::string_view Page, TRange& Range)
{
    if (IsElementNode(Node)) {
        Range = OuterRange(Node, Page);
        return Range.End > Range.Begin;
    }
    if (Node->type == GUMBO_NODE_DOCUMENT)
        return false;
    const GumboText& text = Node->v.text;
    if (text.original_text.length == 0)
        return false;
    Range.Begin = OffsetIn(Page, text.original_text.data);
    Range.End = std::min(Page.size(), Range.Begin + text.original_text.length);
    return true;
}

void AppendText(const GumboNode* Node, std::string_view Page, std::string& Text)
{
    if (Node->type == GUMBO_NODE_TEXT || Node->type == GUMBO_NODE_WHITESPACE ||
        Node->type == GUMBO_NODE_CDATA) {
        TRange range;
        if (NodeRange(Node, Page, range))
            Text.append(Page.substr(range.Begin, range.End - range.Begin));
        return;
    }
    if (!IsElementNode(Node))
        return;
    const GumboTag tag = Node->v.element.tag;
    if (tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_TEMPLATE)
        return;
    const GumboVector& children = Node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i)
        AppendText(static_cast<const GumboNode*>(children.data[i]), Page, Text);
}

} // namespace

void THtmlTree::TDeleter::operator()(GumboOutput* Output) const
{
    gumbo_destroy_output(&kGumboDefaultOptions, Output);
}

THtmlTree::THtmlTree(std::string_view Page)
    : m_Page(Page), m_Output(gumbo_parse_with_options(&kGumboDefaultOptions, Page.data(), Page.size()))
{
}

TRange StartTagRange(const GumboNode* Element, std::string_view Page)
{
    if (!IsElementNode(Element) || MadeUp(Element))
        return TRange{};
    const GumboStringPiece& tag = Element->v.element.original_tag;
    const size_t begin = OffsetIn(Page, tag.data);
    return TRange{begin, std::min(Page.size(), begin + tag.length)};
}

TRange OuterRange(const GumboNode* Element, std::string_view Page)
{
    TRange range;
    const GumboElement& element = Element->v.element;
    const GumboVector& children = element.children;
    if (MadeUp(Element)) {
        // The children's bytes: from the first child's that has any to the last child's.
        bool any = false;
        for (unsigned i = 0; i < children.length; ++i) {
            TRange child;
            if (!NodeRange(static_cast<const GumboNode*>(children.data[i]), Page, child))
                continue;
            range.Begin = any ? std::min(range.Begin, child.Begin) : child.Begin;
            range.End = any ? std::max(range.End, child.End) : child.End;
            any = true;
        }
        return range;
    }
    range = StartTagRange(Element, Page);
    if (HasOwnEndTag(Element)) {
        const size_t end = OffsetIn(Page, element.original_end_tag.data) + element.original_end_tag.length;
        range.End = std::max(range.End, std::min(Page.size(), end));
    } else {
        // Ended by another tag or by the page's end, where the parser popped it: past its last child at
        // least.
        range.End = std::max(range.End, std::min<size_t>(Page.size(), element.end_pos.offset));
        for (unsigned i = children.length; i-- > 0;) {
            TRange child;
            if (NodeRange(static_cast<const GumboNode*>(children.data[i]), Page, child)) {
                range.End = std::max(range.End, child.End);
                break;
            }
        }
    }
    return range;
}

const GumboAttribute* FindAttribute(const GumboNode* Element, const char* Name)
{
    if (!IsElementNode(Element))
        return nullptr;
    return gumbo_get_attribute(&Element->v.element.attributes, Name);
}

std::string_view RawValue(const GumboAttribute& Attribute, std::string_view Page)
{
    const GumboStringPiece& value = Attribute.original_value;
    if (value.length == 0 || value.data < Page.data() ||
        value.data + value.length > Page.data() + Page.size())
        return std::string_view();
    std::string_view raw(value.data, value.length);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front())
        raw = raw.substr(1, raw.size() - 2);
    return raw;
}

std::string TagName(const GumboNode* Element)
{
    const GumboElement& element = Element->v.element;
    if (element.tag != GUMBO_TAG_UNKNOWN)
        return gumbo_normalized_tagname(element.tag);
    GumboStringPiece name = element.original_tag;
    gumbo_tag_from_original_text(&name);
    return LowerAscii(std::string_view(name.data, name.length));
}

std::string ElementText(const GumboNode* Element, std::string_view Page)
{
    std::string text;
    AppendText(Element, Page, text);
    return CollapseSpace(text);
}

// ----------------------------------------------------------------------------------------------------
// The selectors

namespace {

enum class EAttributeTest { Present, Equals, Word, Prefix };

struct TAttributeTest {
    std::string Name; ///< lower case
    EAttributeTest Test = EAttributeTest::Present;
    std::string Value;
};

/// The value of Attribute as a selector compares it: the page's bytes with character references decoded.
std::string ComparedValue(const GumboAttribute& Attribute, std::string_view Page)
{
    const std::string_view raw = RawValue(Attribute, Page);
    if (raw.find('&') == std::string_view::npos)
        return std::string(raw);
    return DecodeCharacterReferences(raw);
}

bool HasWord(std::string_view List, std::string_view Word)
{
    if (Word.empty())
        return false;
    size_t at = 0;
    while (at < List.size()) {
        while (at < List.size() && IsHtmlSpace(List[at]))
            ++at;
        const size_t begin = at;
        while (at < List.size() && !IsHtmlSpace(List[at]))
            ++at;
        if (List.substr(begin, at - begin) == Word)
            return true;
    }
    return false;
}

} // namespace

struct TSelector::TCompound {
    std::string Type; ///< lower case; empty for any
    std::vector<TAttributeTest> Attributes;
    std::vector<std::string> Classes;
    std::vector<std::string> Ids;
    size_t NthOfType = 0; ///< 0 for none; :first-of-type is 1

    bool Matches(const GumboNode* Element, std::string_view Page) const
    {
        if (!IsElementNode(Element))
            return false;
        if (!Type.empty() && TagName(Element) != Type)
            return false;
        for (const std::string& id : Ids) {
            const GumboAttribute* attribute = FindAttribute(Element, "id");
            if (attribute == nullptr || ComparedValue(*attribute, Page) != id)
                return false;
        }
        for (const std::string& name : Classes) {
            const GumboAttribute* attribute = FindAttribute(Element, "class");
            if (attribute == nullptr || !HasWord(ComparedValue(*attribute, Page), name))
                return false;
        }
        for (const TAttributeTest& test : Attributes) {
            const GumboAttribute* attribute = FindAttribute(Element, test.Name.c_str());
            if (attribute == nullptr)
                return false;
            if (test.Test == EAttributeTest::Present)
                continue;
            const std::string value = ComparedValue(*attribute, Page);
            if (test.Test == EAttributeTest::Equals && value != test.Value)
                return false;
            if (test.Test == EAttributeTest::Word && !HasWord(value, test.Value))
                return false;
            if (test.Test == EAttributeTest::Prefix &&
                (test.Value.empty() || value.compare(0, test.Value.size(), test.Value) != 0))
                return false;
        }
        if (NthOfType > 0 && PlaceOfType(Element) != NthOfType)
            return false;
        return true;
    }

    /// The element's place among its parent's children of its type, from 1.
    static size_t PlaceOfType(const GumboNode* Element)
    {
        const GumboNode* parent = Element->parent;
        if (parent == nullptr || (parent->type != GUMBO_NODE_ELEMENT && parent->type != GUMBO_NODE_TEMPLATE &&
                                  parent->type != GUMBO_NODE_DOCUMENT))
            return 1;
        const GumboVector& siblings =
            parent->type == GUMBO_NODE_DOCUMENT ? parent->v.document.children : parent->v.element.children;
        const std::string name = TagName(Element);
        size_t place = 0;
        for (unsigned i = 0; i < siblings.length; ++i) {
            const GumboNode* sibling = static_cast<const GumboNode*>(siblings.data[i]);
            if (!IsElementNode(sibling) ||
                sibling->v.element.tag_namespace != Element->v.element.tag_namespace ||
                TagName(sibling) != name)
                continue;
            ++place;
            if (sibling == Element)
                return place;
        }
        return place;
    }
};

struct TSelector::TComplex {
    std::vector<TCompound> Compounds; ///< left to right
    std::vector<bool> Child;          ///< Child[i]: '>' between Compounds[i] and Compounds[i + 1]

    bool Matches(const GumboNode* Element, size_t Index, std::string_view Page) const
    {
        if (!Compounds[Index].Matches(Element, Page))
            return false;
        if (Index == 0)
            return true;
        for (const GumboNode* up = Element->parent; IsElementNode(up); up = up->parent) {
            if (Matches(up, Index - 1, Page))
                return true;
            if (Child[Index - 1])
                return false;
        }
        return false;
    }
};

namespace {

/// The reader of one selector text.
struct TParser {
    std::string_view Text;
    size_t At = 0;
    std::string Error;

    bool Fail(const char* Expected)
    {
        if (Error.empty())
            Error = Expected;
        return false;
    }
    void SkipBlanks()
    {
        while (At < Text.size() && IsHtmlSpace(Text[At]))
            ++At;
    }
    bool Name(std::string& Out)
    {
        const size_t begin = At;
        while (At < Text.size() && IsNameByte(Text[At]))
            ++At;
        Out = std::string(Text.substr(begin, At - begin));
        return !Out.empty();
    }
    bool Value(std::string& Out)
    {
        if (At < Text.size() && (Text[At] == '"' || Text[At] == '\'')) {
            const char quote = Text[At];
            const size_t close = Text.find(quote, At + 1);
            if (close == std::string_view::npos)
                return Fail("the closing quote of the value");
            Out = std::string(Text.substr(At + 1, close - At - 1));
            At = close + 1;
            return true;
        }
        return Name(Out) || Fail("a value (a name or a quoted text)");
    }
    bool Attribute(TAttributeTest& Test)
    {
        SkipBlanks();
        if (!Name(Test.Name))
            return Fail("an attribute name");
        Test.Name = LowerAscii(Test.Name);
        SkipBlanks();
        if (At < Text.size() && Text[At] == ']') {
            ++At;
            return true;
        }
        if (Text.compare(At, 1, "=") == 0) {
            Test.Test = EAttributeTest::Equals;
            At += 1;
        } else if (Text.compare(At, 2, "~=") == 0) {
            Test.Test = EAttributeTest::Word;
            At += 2;
        } else if (Text.compare(At, 2, "^=") == 0) {
            Test.Test = EAttributeTest::Prefix;
            At += 2;
        } else {
            return Fail("']', '=', '~=' or '^='");
        }
        SkipBlanks();
        if (!Value(Test.Value))
            return false;
        SkipBlanks();
        if (At >= Text.size() || Text[At] != ']')
            return Fail("']'");
        ++At;
        return true;
    }
    bool Pseudo(TSelector::TCompound& Compound)
    {
        std::string name;
        const size_t begin = At;
        Name(name);
        name = LowerAscii(name);
        if (name == "first-of-type") {
            Compound.NthOfType = 1;
            return true;
        }
        if (name != "nth-of-type" || At >= Text.size() || Text[At] != '(') {
            At = begin;
            return Fail("first-of-type or nth-of-type(n)");
        }
        ++At;
        SkipBlanks();
        size_t number = 0;
        const size_t digits = At;
        while (At < Text.size() && Text[At] >= '0' && Text[At] <= '9' && number < 100000)
            number = number * 10 + static_cast<size_t>(Text[At++] - '0');
        if (At == digits || number == 0)
            return Fail("a whole number from 1 on");
        SkipBlanks();
        if (At >= Text.size() || Text[At] != ')')
            return Fail("')'");
        ++At;
        Compound.NthOfType = number;
        return true;
    }
    bool Compound(TSelector::TCompound& Compound)
    {
        const size_t begin = At;
        if (At < Text.size() && Text[At] == '*')
            ++At;
        else if (Name(Compound.Type))
            Compound.Type = LowerAscii(Compound.Type);
        while (At < Text.size()) {
            const char c = Text[At];
            if (c == '.' || c == '#') {
                ++At;
                std::string name;
                if (!Name(name))
                    return Fail(c == '.' ? "a class name" : "an id");
                (c == '.' ? Compound.Classes : Compound.Ids).push_back(name);
            } else if (c == '[') {
                ++At;
                Compound.Attributes.emplace_back();
                if (!Attribute(Compound.Attributes.back()))
                    return false;
            } else if (c == ':') {
                ++At;
                if (!Pseudo(Compound))
                    return false;
            } else {
                break;
            }
        }
        return At > begin || Fail("a selector (a type, '*', '.', '#', '[' or ':')");
    }
    bool Complex(TSelector::TComplex& Complex)
    {
        SkipBlanks();
        for (;;) {
            Complex.Compounds.emplace_back();
            if (!Compound(Complex.Compounds.back()))
                return false;
            const size_t before = At;
            SkipBlanks();
            if (At == Text.size() || Text[At] == ',')
                return true;
            if (Text[At] == '>') {
                ++At;
                SkipBlanks();
                Complex.Child.push_back(true);
            } else if (At > before) {
                Complex.Child.push_back(false);
            } else {
                return Fail("a blank, '>', ',' or the end of the selector");
            }
        }
    }
};

void Collect(const GumboNode* Node, const TSelector& Selector, std::string_view Page,
             std::vector<const GumboNode*>& Found)
{
    const GumboVector* children = nullptr;
    if (Node->type == GUMBO_NODE_DOCUMENT)
        children = &Node->v.document.children;
    else if (Node->type == GUMBO_NODE_ELEMENT)
        children = &Node->v.element.children;
    else
        return; // text, comments, and a template's contents
    for (unsigned i = 0; i < children->length; ++i) {
        const GumboNode* child = static_cast<const GumboNode*>(children->data[i]);
        if (!IsElementNode(child))
            continue;
        if (Selector.Matches(child, Page))
            Found.push_back(child);
        Collect(child, Selector, Page, Found);
    }
}

} // namespace

bool TSelector::Parse(std::string_view Text, TSelector& Result, std::string& Error, size_t& ErrorAt)
{
    TParser parser{Text, 0, std::string()};
    Result.m_Complex.clear();
    for (;;) {
        auto complex = std::make_shared<TComplex>();
        if (!parser.Complex(*complex)) {
            Error = parser.Error;
            ErrorAt = parser.At;
            return false;
        }
        Result.m_Complex.push_back(std::move(complex));
        if (parser.At == Text.size())
            return true;
        ++parser.At; // the ','
    }
}

bool TSelector::Matches(const GumboNode* Element, std::string_view Page) const
{
    for (const std::shared_ptr<const TComplex>& complex : m_Complex) {
        if (complex->Matches(Element, complex->Compounds.size() - 1, Page))
            return true;
    }
    return false;
}

std::vector<const GumboNode*> TSelector::Select(const THtmlTree& Tree) const
{
    return SelectBelow(Tree.Root()->parent != nullptr ? Tree.Root()->parent : Tree.Root(), Tree.Page());
}

std::vector<const GumboNode*> TSelector::SelectBelow(const GumboNode* Element, std::string_view Page) const
{
    std::vector<const GumboNode*> found;
    Collect(Element, *this, Page, found);
    return found;
}

} // namespace Magazine
