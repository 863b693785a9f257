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

#include <string>

/// What stands in the reading copy for a byte of syntax that is text: no pattern takes it for syntax, a
/// blank or a word character.
inline constexpr char kMaskByte = '\x1A';

/// The reading copy of Page. Same size as Page; one pass over it.
std::string ReadingCopy(const std::string& Page);
