// Tags as a browser reads them, for the page patterns.
//
// A page pattern such as <a[^>]*?href... reads a page byte by byte: it would take an upper-case tag for no
// tag, text inside another attribute's value, a comment or a script for a tag or an attribute, and the
// '>' inside a quoted value for the end of its tag. The page services therefore search a reading copy of a
// page: the same bytes at the same places, except that the tag scanner, which reads the page once the way a
// browser's tokenizer does, has
//   - written tag and attribute names in lower case;
//   - replaced by kMaskByte every byte of markup syntax ('<', '>', '"', '\'', '=') that a browser reads as
//     part of a name or a value, and every '<' and '>' inside comments, <!...>, <?...> and the text of
//     <script>, <style> and the other elements whose text holds no tags;
//   - replaced by kMaskByte the '<' of a tag that the page ends inside (a browser drops it).
// A match in the copy is where a browser sees that markup; its positions are the page's, and what is kept
// or rewritten is taken from the page itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// What stands in the reading copy for a byte of syntax that is text: no pattern takes it for syntax, a
/// blank or a word character.
inline constexpr char kMaskByte = '\x1A';

/// Where a page's reading copy differs from the page: offsets in ascending order, the copy's byte at each.
/// Eight bytes each, as a page of unclosed tags may hold millions: a page is below 4 GB (fatal check).
struct TCopyChange {
    std::uint32_t Offset;
    char Byte;
};
using TCopyChanges = std::vector<TCopyChange>;

/// What makes the reading copy of Page from Page: one pass of the tag scanner over it. Empty for a page
/// whose names are in lower case and whose values, comments and scripts hold no syntax bytes.
TCopyChanges ReadingChanges(std::string_view Page);

/// The reading copy of Page: the same size, Page with ReadingChanges applied.
std::string ReadingCopy(const std::string& Page);

/// One attribute of a tag, read in a reading copy: its name in lower case (a view into the copy) and where
/// its value stands, quotes left out (an empty value at the name's end when it has none).
struct TTagAttribute {
    std::string_view Name;
    size_t ValueBegin = 0;
    size_t ValueEnd = 0;
};

/// Calls Visit with each attribute of the tag of Copy, a reading copy, that begins with the '<' at Open and
/// ends before End (its '>'), in their order, repeats included (a browser keeps the first of a name). A tag
/// may hold millions: they are read one at a time, none kept.
void ForEachAttribute(std::string_view Copy, size_t Open, size_t End,
                      const std::function<void(const TTagAttribute&)>& Visit);

/// What a browser shows, as ForEachShown reads it.
enum class EShown {
    Text,       ///< a run of text that shows more than blanks and no-break spaces, as written
    Picture,    ///< an <img> tag, from its '<' to past its '>'
    Background, ///< the value of a tag's background attribute (a picture), quotes left out
    Break,      ///< a tag that is no inline markup: the words on either side of it are apart
};

/// Calls Visit with what a browser shows of [From, To) of Copy, a reading copy, in order: its text and its
/// pictures. Comments, the text of <script>, <style>, <title> and the other elements whose text holds no
/// tags (but <textarea> and <xmp>, which show it) and the content of <noscript>, <template>, <iframe>,
/// <noembed> and <noframes> are not shown. One pass.
void ForEachShown(std::string_view Copy, size_t From, size_t To,
                  const std::function<void(EShown, size_t Begin, size_t End)>& Visit);

class THtmlPage;

/// Appends to Output what a browser shows of [From, To) of Page (ForEachShown): its text as written, its
/// <img> tags as written, each background picture as <img src="...">, and a blank between two of them
/// that a tag other than inline markup parts. With LeaveFirstPicture the first <img> is left out.
void AppendShown(THtmlPage& Output, const THtmlPage& Page, size_t From, size_t To, bool LeaveFirstPicture);

/// A page being rewritten with what its reading copy changes, kept in step: each pass reads both and writes
/// both, so that the tags of a page are scanned once, not once per pass. The copy itself is the text when
/// nothing differs, and is made from the text only when a pass searches it after a change. Places in the
/// copy are places in the text.
class THtmlPage {
  public:
    THtmlPage() = default;
    /// Text and its reading copy.
    explicit THtmlPage(std::string Text);
    THtmlPage(const THtmlPage&) = delete;
    THtmlPage& operator=(const THtmlPage&) = delete;
    THtmlPage(THtmlPage&&) = default;
    THtmlPage& operator=(THtmlPage&&) = default;

    const std::string& Text() const { return m_Text; }
    /// The reading copy. A reference that stays valid, and unchanged, until the page next changes.
    const std::string& Copy() const;
    /// The offset of a place in the copy.
    size_t Offset(std::string::const_iterator InCopy) const
    {
        return static_cast<size_t>(InCopy - Copy().begin());
    }
    /// The place in the text of a place in the copy.
    std::string::const_iterator InText(std::string::const_iterator InCopy) const
    {
        return m_Text.begin() + static_cast<std::ptrdiff_t>(Offset(InCopy));
    }
    /// The text of [First, Last), places in the copy.
    std::string_view TextOf(std::string::const_iterator First, std::string::const_iterator Last) const
    {
        return std::string_view(m_Text).substr(Offset(First), static_cast<size_t>(Last - First));
    }

    /// Appends the bytes [From, To) of Source (offsets), text and copy.
    void Append(const THtmlPage& Source, size_t From, size_t To);
    /// The same with places in Source's copy.
    void Append(const THtmlPage& Source, std::string::const_iterator First, std::string::const_iterator Last)
    {
        Append(Source, Source.Offset(First), Source.Offset(Last));
    }
    /// Appends markup that the program writes, which its copy reads as it stands: names in lower case, values
    /// without syntax bytes ("<img src=\"", a local file name).
    void AppendMarkup(std::string_view Markup) { m_Text += Markup; }
    /// Cuts text and copy at Offset.
    void Erase(size_t Offset);
    /// Keeps [From, To) of text and copy alone, in place.
    void Keep(size_t From, size_t To);
    void Reserve(size_t Size) { m_Text.reserve(Size); }
    void Swap(THtmlPage& Other) { std::swap(*this, Other); }
    /// The text, taken out; the object is then empty.
    std::string TakeText()
    {
        m_Changes.clear();
        m_CopyMade = false;
        return std::move(m_Text);
    }

  private:
    /// Appends the changes of [From, To) of Changes, moved to At.
    void AppendChanges(const TCopyChanges& Changes, size_t From, size_t To, size_t At);

    std::string m_Text;
    TCopyChanges m_Changes;
    mutable std::string m_Copy;      ///< made from m_Text and m_Changes when first asked for after a change
    mutable bool m_CopyMade = false; ///< whether m_Copy is the copy of the page as it is now
};
