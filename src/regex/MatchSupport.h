// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the tests on subject bytes that the search driver, the look-around runner and the machine
// share. They are inline: each is a few instructions inside the machine's hottest loops.
#pragma once

#include "regex/Nodes.h"
#include "regex/Syntax.h"

namespace regex {
namespace detail {

inline unsigned char byte_at(const char* Pos)
{
    return static_cast<unsigned char>(*Pos);
}

inline bool is_word_at(const char* Pos)
{
    return perl_reader::is_word(byte_at(Pos));
}

// Whether the assertion of kind Kind (^ $ \A \Z \z \b \B) holds at Pos; End is the end the nodes see.
inline bool assertion_holds(node_kind Kind, const char* Begin, const char* Pos, const char* End)
{
    switch (Kind) {
    case node_kind::assert_bos:
        return Pos == Begin;
    case node_kind::assert_bol:
        return Pos == Begin || Pos[-1] == '\n';
    case node_kind::assert_peos:
        return Pos == End || (*Pos == '\n' && Pos + 1 == End);
    case node_kind::assert_eol:
        return Pos == End || *Pos == '\n';
    case node_kind::assert_eos:
        return Pos == End;
    default: { // word_boundary, not_word_boundary
        const bool before = Pos != Begin && is_word_at(Pos - 1);
        const bool after = Pos != End && is_word_at(Pos);
        return (before != after) == (Kind == node_kind::word_boundary);
    }
    }
}

// Whether Item (a group_node or an alt_info) cannot begin at Pos: it knows its first bytes and the byte at
// Pos is not one of them, or Pos is the end.
template <class T> inline bool cannot_begin(const T& Item, const char* Pos, const char* End)
{
    return Item.HasFirst && (Pos == End || !Item.First.test(byte_at(Pos)));
}

} // namespace detail
} // namespace regex
