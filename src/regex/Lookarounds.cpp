#include "regex/Lookarounds.h"

namespace regex {
namespace detail {

// Runs the nodes of a capture-free look-around alternative: fixed, without choices.
bool matcher::run_simple(const node* Head, const group_node* Owner, const char* Pos, const char* End) const
{
    const char* p = Pos;
    for (const node* n = Head;; n = n->Next) {
        switch (n->Kind) {
        case node_kind::chr:
            if (p == End || byte_at(p) != static_cast<const char_node*>(n)->Lower) {
                return false;
            }
            ++p;
            break;
        case node_kind::chr_nocase: {
            const auto* ch = static_cast<const char_node*>(n);
            if (p == End || (byte_at(p) != ch->Lower && byte_at(p) != ch->Upper)) {
                return false;
            }
            ++p;
            break;
        }
        case node_kind::literal:
        case node_kind::literal_nocase: {
            const auto* literal = static_cast<const literal_node*>(n);
            if (static_cast<size_t>(End - p) < literal->Length) {
                return false;
            }
            for (size_t i = 0; i < literal->Length; ++i) {
                if (byte_at(p + i) != literal->Lower[i] && byte_at(p + i) != literal->Upper[i]) {
                    return false;
                }
            }
            p += literal->Length;
            break;
        }
        case node_kind::set:
            if (p == End || !static_cast<const set_node*>(n)->Set.test(byte_at(p))) {
                return false;
            }
            ++p;
            break;
        case node_kind::any_but_newline:
            if (p == End || *p == '\n') {
                return false;
            }
            ++p;
            break;
        case node_kind::any:
            if (p == End) {
                return false;
            }
            ++p;
            break;
        // One case per assertion, each passing its kind as a constant: the look-around runs of the
        // picture-type check are measurably slower with a second dispatch on the kind.
        case node_kind::assert_bos:
            if (!assertion_holds(node_kind::assert_bos, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::assert_bol:
            if (!assertion_holds(node_kind::assert_bol, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::assert_peos:
            if (!assertion_holds(node_kind::assert_peos, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::assert_eol:
            if (!assertion_holds(node_kind::assert_eol, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::assert_eos:
            if (!assertion_holds(node_kind::assert_eos, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::word_boundary:
            if (!assertion_holds(node_kind::word_boundary, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::not_word_boundary:
            if (!assertion_holds(node_kind::not_word_boundary, m_Begin, p, End)) {
                return false;
            }
            break;
        case node_kind::end_group:
            if (static_cast<const end_group_node*>(n)->Group == Owner) {
                return true;
            }
            return false;
        default:
            return false;
        }
    }
}

} // namespace detail
} // namespace regex
