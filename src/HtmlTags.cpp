#include "HtmlTags.h"

#include "libs/Exceptions.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>

namespace {

/// Byte classes of the scanner, one bit each.
enum : unsigned char {
    kBlank = 1,      // blank of HTML: space, tab, line feed, form feed, carriage return
    kTagNameEnd = 2, // ends a tag name: a blank, '/', '>'
    kNameEnd = 4,    // ends an attribute name: a blank, '/', '>', '='
    kValueEnd = 8,   // ends a bare value: a blank, '>'
    kInName = 16,    // masked inside a name: '<', '"', '\'', '='
    kInValue = 32,   // masked inside a quoted value: '<', '>', '"', '\'', '='
    kInBare = 64,    // masked inside a bare value: '<', '"', '\'', '='
    kUpper = 128,    // an ASCII capital
};

struct TByteClasses {
    unsigned char Of[256] = {};
    constexpr TByteClasses()
    {
        for (const unsigned char c : {' ', '\t', '\n', '\f', '\r'})
            Of[c] |= kBlank | kTagNameEnd | kNameEnd | kValueEnd;
        Of[static_cast<unsigned char>('/')] |= kTagNameEnd | kNameEnd;
        Of[static_cast<unsigned char>('>')] |= kTagNameEnd | kNameEnd | kValueEnd | kInValue;
        Of[static_cast<unsigned char>('=')] |= kNameEnd | kInName | kInValue | kInBare;
        for (const unsigned char c : {'<', '"', '\''})
            Of[c] |= kInName | kInValue | kInBare;
        for (unsigned c = 'A'; c <= 'Z'; ++c)
            Of[c] |= kUpper;
    }
};
constexpr TByteClasses kClasses;

bool Is(char C, unsigned char Class)
{
    return (kClasses.Of[static_cast<unsigned char>(C)] & Class) != 0;
}

bool IsBlank(char C)
{
    return Is(C, kBlank);
}

bool IsLetter(char C)
{
    const char lower = static_cast<char>(C | 0x20);
    return lower >= 'a' && lower <= 'z';
}

/// The elements whose text holds no tags, up to their end tag (raw text and escapable raw text).
const char* const kTextElements[] = {"script",  "style",    "xmp",      "iframe",
                                     "noembed", "noframes", "textarea", "title"};

/// One pass of a browser's tokenizer over a page, writing the reading copy.
class TTagScanner {
  public:
    TTagScanner(std::string_view Page, TCopyChanges& Changes)
        : m_Page(Page.data()), m_Size(Page.size()), m_Changes(Changes)
    {
    }

    void Run()
    {
        for (size_t at = 0; at < m_Size;) {
            // Tags often follow one another: the next byte is looked at before the text is searched.
            if (m_Page[at] != '<') {
                const void* open = std::memchr(m_Page + at, '<', m_Size - at);
                if (open == nullptr)
                    break;
                at = static_cast<size_t>(static_cast<const char*>(open) - m_Page);
            }
            at = Markup(at);
        }
        const auto byOffset = [](const TCopyChange& A, const TCopyChange& B) { return A.Offset < B.Offset; };
        if (!std::is_sorted(m_Changes.begin(), m_Changes.end(), byOffset))
            std::sort(m_Changes.begin(), m_Changes.end(), byOffset);
    }

  private:
    char At(size_t I) const { return I < m_Size ? m_Page[I] : '\0'; }

    /// The copy holds Byte at Offset. The offsets come in ascending order, except the '<' of a tag that
    /// the page ends inside, which Run puts in its place.
    void Change(size_t Offset, char Byte) { m_Changes.push_back({static_cast<std::uint32_t>(Offset), Byte}); }

    /// Masks every '<' and '>' of [From, To): text.
    void MaskAngles(size_t From, size_t To)
    {
        for (size_t i = From; i < To; ++i) {
            if (m_Page[i] == '<' || m_Page[i] == '>')
                Change(i, kMaskByte);
        }
    }

    /// Reads what begins with the '<' at At; returns where the text after it begins.
    size_t Markup(size_t At)
    {
        const char next = At + 1 < m_Size ? m_Page[At + 1] : '\0';
        if (IsLetter(next))
            return Tag(At, At + 1, true);
        if (next == '/') {
            if (IsLetter(At + 2 < m_Size ? m_Page[At + 2] : '\0'))
                return Tag(At, At + 2, false);
            if (At + 2 < m_Size && m_Page[At + 2] == '>')
                return At + 3; // "</>": nothing
            return BogusComment(At, At + 2);
        }
        if (next == '!') {
            if (At + 3 < m_Size && m_Page[At + 2] == '-' && m_Page[At + 3] == '-')
                return Comment(At + 4);
            return BogusComment(At, At + 2);
        }
        if (next == '?')
            return BogusComment(At, At + 1);
        return At + 1; // a '<' of the text
    }

    /// A comment whose text begins at From: up to "-->" or "--!>" ("<!-->" and "<!--->" end at once).
    size_t Comment(size_t From)
    {
        size_t text = From;
        if (At(text) == '>')
            return text + 1;
        if (At(text) == '-' && At(text + 1) == '>')
            return text + 2;
        const std::string_view page(m_Page, m_Size);
        for (size_t dashes = page.find("--", From); dashes != std::string_view::npos;
             dashes = page.find("--", dashes + 1)) {
            const size_t end = At(dashes + 2) == '>'                            ? dashes + 3
                               : At(dashes + 2) == '!' && At(dashes + 3) == '>' ? dashes + 4
                                                                                : 0;
            if (end != 0) {
                MaskAngles(From, dashes);
                return end;
            }
        }
        MaskAngles(From, m_Size);
        return m_Size;
    }

    /// <!x, <?x and </ followed by neither a letter nor '>': a comment up to the next '>'.
    size_t BogusComment(size_t Open, size_t From)
    {
        const void* close = std::memchr(m_Page + From, '>', m_Size - From);
        const size_t end = close ? static_cast<size_t>(static_cast<const char*>(close) - m_Page) : m_Size;
        MaskAngles(From, end);
        (void)Open;
        return close ? end + 1 : m_Size;
    }

    /// Reads a name from From (its first byte taken whatever it is) up to a byte of the class End: lowers
    /// its ASCII capitals and masks its syntax bytes. Returns where it ends.
    size_t Name(size_t From, unsigned char End)
    {
        const unsigned char* const page = reinterpret_cast<const unsigned char*>(m_Page);
        for (size_t i = From;; ++i) {
            if (i > From) {
                i = PastLowerCase(i);
                if (i == m_Size || (kClasses.Of[page[i]] & End) != 0)
                    return i;
            }
            const unsigned char classes = kClasses.Of[page[i]];
            if ((classes & (kUpper | kInName)) != 0)
                Change(i, (classes & kUpper) != 0 ? static_cast<char>(page[i] + 0x20) : kMaskByte);
            if (i + 1 == m_Size)
                return m_Size;
        }
    }

    /// The first place from From on that holds no lower-case ASCII letter, or the end of the page. Most
    /// names are such letters: sixteen of them at a time.
    size_t PastLowerCase(size_t From) const
    {
        size_t i = From;
#if defined(__SSE2__)
        const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'a'));
        const __m128i bound = _mm_set1_epi8(static_cast<char>(-0x80 + 26));
        while (i + 16 <= m_Size) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_Page + i));
            // 'a'..'z' become the 26 lowest signed bytes.
            const __m128i lower = _mm_cmplt_epi8(_mm_add_epi8(block, shift), bound);
            const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(lower)) & 0xFFFFu;
            if (other != 0)
                return i + static_cast<size_t>(__builtin_ctz(other));
            i += 16;
        }
#endif
        while (i < m_Size && static_cast<unsigned char>(m_Page[i] - 'a') < 26)
            ++i;
        return i;
    }

    /// A start or end tag whose '<' is at Open and whose name begins at NameStart; returns where the text
    /// after it begins.
    size_t Tag(size_t Open, size_t NameStart, bool Start)
    {
        size_t i = Name(NameStart, kTagNameEnd);
        const size_t nameEnd = i;
        for (;;) {
            while (i < m_Size && Is(m_Page[i], kBlank | kTagNameEnd) && m_Page[i] != '>')
                ++i;
            if (i >= m_Size)
                break;
            if (m_Page[i] == '>')
                return Start ? Text(NameStart, nameEnd, i + 1) : i + 1;
            // An attribute: its name (which may begin with '='), then "=" and a value, or none.
            i = Name(i, kNameEnd);
            size_t j = i;
            while (j < m_Size && IsBlank(m_Page[j]))
                ++j;
            if (j >= m_Size || m_Page[j] != '=') {
                i = j;
                continue;
            }
            ++j;
            while (j < m_Size && IsBlank(m_Page[j]))
                ++j;
            if (j >= m_Size)
                break;
            const char quote = m_Page[j];
            if (quote == '"' || quote == '\'') {
                i = QuotedValueEnd(j + 1, quote);
                if (i == m_Size)
                    break;
                ++i;
            } else {
                for (i = j; i < m_Size; ++i) {
                    const unsigned char classes = kClasses.Of[static_cast<unsigned char>(m_Page[i])];
                    if ((classes & (kValueEnd | kInBare)) != 0) {
                        if ((classes & kValueEnd) != 0)
                            break;
                        Change(i, kMaskByte);
                    }
                }
            }
        }
        // The page ends inside the tag: a browser drops it.
        Change(Open, kMaskByte);
        return m_Size;
    }

    /// Where the value that begins at From, quoted with Quote, ends (its closing quote, or the end of the
    /// page), its syntax bytes masked on the way. Sixteen bytes at a time while none of them is one.
    size_t QuotedValueEnd(size_t From, char Quote)
    {
        size_t i = From;
#if defined(__SSE2__)
        const __m128i angleOpen = _mm_set1_epi8('<');
        const __m128i angleClose = _mm_set1_epi8('>');
        const __m128i doubleQuote = _mm_set1_epi8('"');
        const __m128i singleQuote = _mm_set1_epi8('\'');
        const __m128i equals = _mm_set1_epi8('=');
        while (i + 16 <= m_Size) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_Page + i));
            const __m128i any = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(block, angleOpen), _mm_cmpeq_epi8(block, angleClose)),
                _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(block, doubleQuote), _mm_cmpeq_epi8(block, singleQuote)),
                    _mm_cmpeq_epi8(block, equals)));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(any));
            if (mask == 0) {
                i += 16;
                continue;
            }
            // The first syntax byte: the closing quote, or one to mask.
            i += static_cast<size_t>(__builtin_ctz(mask));
            if (m_Page[i] == Quote)
                return i;
            Change(i++, kMaskByte);
        }
#endif
        for (; i < m_Size && m_Page[i] != Quote; ++i) {
            if (Is(m_Page[i], kInValue))
                Change(i, kMaskByte);
        }
        return i;
    }

    /// After the start tag whose name is [NameStart, NameEnd) and which ends before From: the text of an
    /// element that holds no tags runs to its end tag, and its '<' and '>' are text.
    size_t Text(size_t NameStart, size_t NameEnd, size_t From)
    {
        // Most tags are none of these: their names are shorter or longer, or begin otherwise.
        const size_t length = NameEnd - NameStart;
        if (length < 3 || length > 9 ||
            std::string_view("sxintpSXINTP").find(m_Page[NameStart]) == std::string_view::npos)
            return From;
        char lower[9];
        for (size_t k = 0; k < length; ++k)
            lower[k] = static_cast<char>(Is(m_Page[NameStart + k], kUpper) ? m_Page[NameStart + k] + 0x20
                                                                           : m_Page[NameStart + k]);
        const std::string_view Name(lower, length);
        if (Name == "plaintext") {
            MaskAngles(From, m_Size);
            return m_Size;
        }
        bool holdsNoTags = false;
        for (const char* element : kTextElements)
            holdsNoTags = holdsNoTags || Name == element;
        if (!holdsNoTags)
            return From;
        const size_t end = Name == "script" ? ScriptEnd(From) : EndTag(From, Name);
        MaskAngles(From, end);
        return end;
    }

    /// Whether the page holds at Open the start tag (or with Closing the end tag) named Name, in any case,
    /// its name followed by a blank, '/', '>' or the page's end.
    bool IsTagNamed(size_t Open, bool Closing, std::string_view Name) const
    {
        size_t name = Open + 1;
        if (Closing && At(name++) != '/')
            return false;
        size_t k = 0;
        while (k < Name.size() && (At(name + k) | 0x20) == Name[k])
            ++k;
        const char after = At(name + k);
        return k == Name.size() && (IsBlank(after) || after == '/' || after == '>' || name + k == m_Size);
    }

    /// Where the end tag of the element named Name whose text begins at From stands, or the page's end.
    size_t EndTag(size_t From, std::string_view Name) const
    {
        for (size_t at = From; at < m_Size; ++at) {
            const void* open = std::memchr(m_Page + at, '<', m_Size - at);
            if (open == nullptr)
                break;
            at = static_cast<size_t>(static_cast<const char*>(open) - m_Page);
            if (IsTagNamed(at, true, Name))
                return at;
        }
        return m_Size;
    }

    /// Where the end tag of a script whose text begins at From stands, or the page's end. Its text is read in
    /// a browser's script data states: after "<!--" (escaped) a "<script" begins a part (double escaped)
    /// that "</script" ends without ending the script, and "-->" goes back to plain script data.
    size_t ScriptEnd(size_t From) const
    {
        enum { kData, kEscaped, kDoubleEscaped } state = kData;
        const std::string_view page(m_Page, m_Size);
        for (size_t at = page.find_first_of("<-", From); at != std::string_view::npos;
             at = page.find_first_of("<-", at + 1)) {
            if (m_Page[at] == '-') {
                if (state != kData && At(at + 1) == '-' && At(at + 2) == '>') {
                    state = kData;
                    at += 2;
                }
                continue;
            }
            if (state == kData) {
                if (At(at + 1) == '!' && At(at + 2) == '-' && At(at + 3) == '-') {
                    state = kEscaped;
                    at += 1; // the dashes may end the escape at once ("<!-->")
                } else if (IsTagNamed(at, true, "script")) {
                    return at;
                }
            } else if (state == kEscaped) {
                if (IsTagNamed(at, true, "script"))
                    return at;
                if (IsTagNamed(at, false, "script"))
                    state = kDoubleEscaped;
            } else if (IsTagNamed(at, true, "script")) {
                state = kEscaped;
            }
        }
        return m_Size;
    }

    const char* const m_Page;
    const size_t m_Size;
    TCopyChanges& m_Changes;
};

} // namespace

TCopyChanges ReadingChanges(std::string_view Page)
{
    FATAL_CHECK(Page.size() <= UINT32_MAX);
    TCopyChanges changes;
    if (!Page.empty())
        TTagScanner(Page, changes).Run();
    return changes;
}

void ApplyChanges(std::string& Text, const TCopyChanges& Changes)
{
    for (const TCopyChange& change : Changes)
        Text[change.Offset] = change.Byte;
}

THtmlPage::THtmlPage(std::string Text) : m_Text(std::move(Text)), m_Changes(ReadingChanges(m_Text)) {}

const std::string& THtmlPage::Copy() const
{
    if (m_Changes.empty())
        return m_Text;
    if (!m_CopyMade) {
        m_Copy = m_Text;
        ApplyChanges(m_Copy, m_Changes);
        m_CopyMade = true;
    }
    return m_Copy;
}

void THtmlPage::AppendChanges(const TCopyChanges& Changes, size_t From, size_t To, size_t At)
{
    const auto before = [](const TCopyChange& C, size_t Offset) { return C.Offset < Offset; };
    const auto first = std::lower_bound(Changes.begin(), Changes.end(), From, before);
    const auto last = std::lower_bound(first, Changes.end(), To, before);
    if (first != last) {
        const size_t count = m_Changes.size();
        m_Changes.resize(count + static_cast<size_t>(last - first));
        TCopyChange* out = m_Changes.data() + count;
        for (auto change = first; change != last; ++change, ++out)
            *out = {static_cast<std::uint32_t>(change->Offset - From + At), change->Byte};
    }
    m_CopyMade = false;
}

void THtmlPage::Append(const THtmlPage& Source, size_t From, size_t To)
{
    FATAL_CHECK(m_Text.size() + (To - From) <= UINT32_MAX);
    const size_t at = m_Text.size();
    m_Text.append(Source.m_Text.data() + From, To - From);
    if (!Source.m_Changes.empty())
        AppendChanges(Source.m_Changes, From, To, at);
    m_CopyMade = false;
}

void THtmlPage::Keep(size_t From, size_t To)
{
    Erase(To);
    m_Text.erase(0, From);
    const auto before = [](const TCopyChange& C, size_t Offset) { return C.Offset < Offset; };
    const auto first = std::lower_bound(m_Changes.begin(), m_Changes.end(), From, before);
    m_Changes.erase(m_Changes.begin(), first);
    for (TCopyChange& change : m_Changes)
        change.Offset = static_cast<std::uint32_t>(change.Offset - From);
    m_CopyMade = false;
}

void THtmlPage::Erase(size_t Offset)
{
    m_Text.erase(Offset);
    while (!m_Changes.empty() && m_Changes.back().Offset >= Offset)
        m_Changes.pop_back();
    m_CopyMade = false;
}

std::string ReadingCopy(const std::string& Page)
{
    std::string copy = Page;
    ApplyChanges(copy, ReadingChanges(Page));
    return copy;
}

void ForEachAttribute(std::string_view Copy, size_t Open, size_t End,
                      const std::function<void(const TTagAttribute&)>& Visit)
{
    const auto blank = [&Copy](size_t At) { return IsBlank(Copy[At]) || Copy[At] == '/'; };
    size_t at = Open + 1;
    while (at < End && !blank(at))
        ++at;
    for (;;) {
        while (at < End && blank(at))
            ++at;
        if (at >= End)
            return;
        // A name (its first byte taken whatever it is), then "=" and a value, or none.
        const size_t name = at++;
        while (at < End && !blank(at) && Copy[at] != '=')
            ++at;
        TTagAttribute attribute{Copy.substr(name, at - name), at, at};
        size_t next = at;
        while (next < End && IsBlank(Copy[next]))
            ++next;
        if (next < End && Copy[next] == '=') {
            ++next;
            while (next < End && IsBlank(Copy[next]))
                ++next;
            if (next < End && (Copy[next] == '"' || Copy[next] == '\'')) {
                const size_t close = Copy.find(Copy[next], next + 1);
                attribute.ValueBegin = next + 1;
                attribute.ValueEnd = std::min(close, End);
                next = attribute.ValueEnd + 1;
            } else {
                attribute.ValueBegin = next;
                while (next < End && !IsBlank(Copy[next]))
                    ++next;
                attribute.ValueEnd = next;
            }
            at = next;
        }
        Visit(attribute);
    }
}

namespace {

/// The name of the tag whose '<' (or "</") ends at Name in Copy: its lower-case letters, digits and
/// dashes, as a reading copy writes them.
std::string_view TagName(std::string_view Copy, size_t Name, size_t End)
{
    size_t at = Name;
    while (at < End && !Is(Copy[at], kTagNameEnd))
        ++at;
    return Copy.substr(Name, at - Name);
}

/// Whether [From, To) of Copy shows something: a byte that is neither a blank nor a no-break space
/// (windows-1251 0xA0, or its references &nbsp;, &#160;, &#xA0;).
bool ShowsText(std::string_view Copy, size_t From, size_t To)
{
    static const std::string_view kNoBreak[] = {"&nbsp;", "&#160;", "&#xa0;"};
    for (size_t at = From; at < To; ++at) {
        const char c = Copy[at];
        if (IsBlank(c) || c == '\xA0')
            continue;
        if (c != '&')
            return true;
        bool noBreak = false;
        for (const std::string_view reference : kNoBreak) {
            if (at + reference.size() > To)
                continue;
            size_t i = 0;
            while (i < reference.size() && (Copy[at + i] | 0x20) == reference[i])
                ++i;
            if (i == reference.size()) {
                at += reference.size() - 1;
                noBreak = true;
                break;
            }
        }
        if (!noBreak)
            return true;
    }
    return false;
}

/// Markup inside a line of text: the words on either side of such a tag stay one line of words.
bool IsInline(std::string_view Name)
{
    static const std::string_view kInline[] = {"a",      "abbr",   "b",   "big", "cite",  "code",
                                               "em",     "font",   "i",   "s",   "small", "span",
                                               "strike", "strong", "sub", "sup", "tt",    "u"};
    return std::find(std::begin(kInline), std::end(kInline), Name) != std::end(kInline);
}

} // namespace

void ForEachShown(std::string_view Copy, size_t From, size_t To,
                  const std::function<void(EShown, size_t Begin, size_t End)>& Visit)
{
    // The elements whose text (raw) or content (a browser with scripts on shows neither) is not shown.
    static const std::string_view kHidden[] = {"script",   "style",  "title",   "noscript",
                                               "template", "iframe", "noembed", "noframes"};
    // Nothing is looked for past To: a page of many ranges is read once.
    const std::string_view range = Copy.substr(0, std::min(To, Copy.size()));
    To = range.size();
    size_t text = From; // where the text not yet visited begins
    for (size_t open = range.find('<', From); open < To; open = range.find('<', open + 1)) {
        const char next = open + 1 < To ? Copy[open + 1] : '\0';
        const bool closing = next == '/';
        if (!IsLetter(next) && !(closing && open + 2 < To && IsLetter(Copy[open + 2])) && next != '!' &&
            next != '?')
            continue; // a '<' of the text
        if (ShowsText(Copy, text, open))
            Visit(EShown::Text, text, open);
        // The tag's '>' is the first one: those inside its values, or inside a comment, are masked.
        const size_t close = std::min(range.find('>', open), To);
        text = close == To ? To : close + 1;
        const size_t tagEnd = text;
        if (next == '!' || next == '?') {
            open = tagEnd - 1;
            continue; // a comment
        }
        const std::string_view name = TagName(Copy, open + (closing ? 2 : 1), close);
        if (!IsInline(name))
            Visit(EShown::Break, open, tagEnd);
        if (!closing && name == "img")
            Visit(EShown::Picture, open, tagEnd);
        if (!closing && Copy.substr(open, close - open).find("background") != std::string_view::npos) {
            bool first = true; // a browser takes the first attribute of a name
            ForEachAttribute(Copy, open, close, [&](const TTagAttribute& Attribute) {
                if (Attribute.Name != "background" || !first)
                    return;
                first = false;
                if (Attribute.ValueEnd > Attribute.ValueBegin)
                    Visit(EShown::Background, Attribute.ValueBegin, Attribute.ValueEnd);
            });
        }
        if (!closing && std::find(std::begin(kHidden), std::end(kHidden), name) != std::end(kHidden)) {
            // Nothing is shown up to the element's end tag, or the end of the range.
            const std::string endTag = "</" + std::string(name);
            size_t hiddenEnd = range.find(endTag, tagEnd);
            while (hiddenEnd < To && hiddenEnd + endTag.size() < To &&
                   !Is(Copy[hiddenEnd + endTag.size()], kTagNameEnd))
                hiddenEnd = range.find(endTag, hiddenEnd + 1);
            text = std::min(hiddenEnd, To);
        }
        open = std::max(text, open + 1) - 1;
    }
    if (ShowsText(Copy, text, To))
        Visit(EShown::Text, text, To);
}

void AppendShown(THtmlPage& Output, const THtmlPage& Page, size_t From, size_t To, bool LeaveFirstPicture)
{
    bool any = false;   // whether something is appended
    bool apart = false; // whether a tag parts the next piece from the last one
    bool leave = LeaveFirstPicture;
    ForEachShown(Page.Copy(), From, To, [&](EShown What, size_t Begin, size_t End) {
        if (What == EShown::Break) {
            apart = true;
            return;
        }
        if (What == EShown::Picture && leave) {
            leave = false;
            return;
        }
        if (any && apart)
            Output.AppendMarkup(" ");
        any = true;
        apart = false;
        if (What == EShown::Background)
            Output.AppendMarkup("<img src=\"");
        Output.Append(Page, Begin, End);
        if (What == EShown::Background)
            Output.AppendMarkup("\">");
    });
}
