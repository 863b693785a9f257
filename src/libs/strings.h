// String helpers of the page processors: replacing every occurrence of a literal text, storing into a list
// of texts at an index that may lie beyond its end, reading an HTML attribute value's text, and making a
// text safe in markup.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// The value of a list entry that was added by StoreAt but never set.
inline constexpr const char kErrorPage[] = "error_page";

/// Writes into Result the text of Text with every occurrence of Find replaced by Replace. Occurrences
/// are exact, case-sensitive byte matches taken from left to right without overlapping; the inserted
/// Replace text is never searched again. Find must not be empty (fatal check). Result must be an object of
/// its own, none of the other three (fatal check); its previous content is discarded.
void ReplaceAll(const std::string& Text, const std::string& Find, const std::string& Replace,
                std::string& Result);

/// Sets List[Index] to Value. When Index is not below List.size(), the list first grows to Index + 1
/// entries, every new entry being kErrorPage. Index must be below List.max_size() (fatal check).
/// Value is taken by value, so it may be an entry of List itself.
void StoreAt(std::vector<std::string>& List, size_t Index, std::string Value);

/// The text of an address written in an HTML attribute value Value (its quotes taken off) with its character
/// references decoded as a browser decodes them there: numeric ones (&#1092; &#x444;, the ';' may be
/// missing; 0x80-0x9F as windows-1252 reads them, 0, surrogates and values beyond Unicode as U+FFFD) and
/// the named ones that addresses hold (&amp; &lt; &gt; &quot; &apos; &nbsp; &copy; &laquo; &mdash; ...; the
/// legacy ones such as &amp also without their ';' unless a letter, a digit or '=' follows). A character
/// is written as BrintLib::AppendAddressCharacter writes it: its windows-1251 byte, or its UTF-8 bytes
/// percent-encoded. Any other '&' stays as it stands.
std::string DecodeCharacterReferences(std::string_view Value);

/// The first position from From on where Text holds Needle, or npos (std::string_view::find's answer). Pages
/// are searched for short tag and attribute texts a great many times: the bytes at Needle's first and last
/// places are tested for 16 positions at a time. Needle must not be empty (fatal check).
size_t FindText(std::string_view Text, size_t From, std::string_view Needle);

/// Appends the text of [First, Last) to Out: an append from pointers, cheaper than the iterator form.
inline void AppendRange(std::string& Out, std::string::const_iterator First, std::string::const_iterator Last)
{
    if (First != Last)
        Out.append(&*First, static_cast<size_t>(Last - First));
}

/// Text from the network as a message quotes it, between two Quote strings (which may be empty): whole
/// when it is at most 300 bytes long; otherwise its first 300 bytes and "...", then, after the closing
/// quote, a blank and its length in bytes in parentheses ("<first bytes>..." (N байт)). A page of another
/// layout or a tag may be megabytes long, and the message goes to the console and the error log.
std::string Excerpt(std::string_view Text, std::string_view Quote);

/// Text made safe inside an XML element or a double-quoted attribute value: &, <, >, " escaped, bytes
/// that XML does not allow (control characters but tab and line ends) left out.
std::string XmlEscape(std::string_view Text);

/// Whether C is white space as HTML reads it: blank, tab, line feed, form feed or carriage return.
constexpr bool IsHtmlSpace(char C)
{
    return C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\f';
}

/// Text with every run of HTML white space made one blank, and none left at its ends.
std::string CollapseSpace(std::string_view Text);
