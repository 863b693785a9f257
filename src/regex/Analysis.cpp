#include "regex/Analysis.h"

#include <algorithm>
#include <vector>

namespace regex {
namespace detail {

namespace {

// Quick peek used when a group is completed: the bytes a node can begin with, or false when it cannot
// tell (the fast-path analysis looks further).
bool PeekFirst(const node* Node, byte_set& Out)
{
    for (;;) {
        if (!Node) {
            return false;
        }
        switch (Node->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::literal:
        case node_kind::literal_nocase:
            add_leading_bytes(Node, Out);
            return true;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::cond_backref:
        case node_kind::cond_assert: {
            const auto* group = static_cast<const group_node*>(Node);
            if (!group->HasFirst) {
                return false;
            }
            Out |= group->First;
            return true;
        }
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(Node);
            if (quant->Lb == 0) {
                return false;
            }
            Node = quant->Atom;
            continue;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(Node);
            if (quant->Lb == 0) {
                return false;
            }
            Node = quant->Group;
            continue;
        }
        default:
            if (is_assertion_kind(Node->Kind)) {
                Node = Node->Next;
                continue;
            }
            return false;
        }
    }
}

// Widths of groups and sequences; back-references and conditionals are resolved to internal numbers on
// the way.
class width_analysis {
  public:
    explicit width_analysis(compiled_pattern& Out) : m_Out(Out), m_Done(Out.GroupCounter, 0) {}

    width_range group_width(group_node* Group) { return compute_group_width(Group, m_Done); }

  private:
    width_range compute_width(node* Head, const group_node* Owner, std::vector<char>& Done);
    width_range compute_group_width(group_node* Group, std::vector<char>& Done);
    size_t to_internal(size_t Visible) const;

    compiled_pattern& m_Out;
    std::vector<char> m_Done; // per internal group: its width is known
};

size_t width_analysis::to_internal(size_t Visible) const
{
    size_t internal = Visible;
    for (size_t invisible : m_Out.Invisible) {
        if (invisible <= internal) {
            ++internal;
        } else {
            break;
        }
    }
    return internal;
}

width_range Multiply(width_range Atom, size_t Lb, size_t Ub)
{
    width_range result;
    if (Atom.Min == 0 || Lb == 0) {
        result.Min = 0;
    } else if (Atom.Min == kUnbounded || Lb == kUnbounded || Atom.Min > kUnbounded / Lb) {
        result.Min = kUnbounded;
    } else {
        result.Min = Atom.Min * Lb;
    }
    if (Atom.Max == 0 || Ub == 0) {
        result.Max = 0;
    } else if (Atom.Max == kUnbounded || Ub == kUnbounded || Atom.Max > kUnbounded / Ub) {
        result.Max = kUnbounded;
    } else {
        result.Max = Atom.Max * Ub;
    }
    return result;
}

width_range width_analysis::compute_group_width(group_node* Group, std::vector<char>& Done)
{
    width_range body{kUnbounded, 0};
    for (size_t i = 0; i < Group->AltCount; ++i) {
        const width_range alt = compute_width(Group->Alts[i], Group, Done);
        body.Min = std::min(body.Min, alt.Min);
        body.Max = std::max(body.Max, alt.Max);
    }
    if (Group->AltCount == 0) {
        body = width_range{0, 0};
    }
    switch (Group->Kind) {
    case node_kind::lookahead:
    case node_kind::lookbehind:
        Group->Inner = body;
        Group->Width = width_range{0, 0};
        break;
    case node_kind::cond_backref:
    case node_kind::cond_assert:
        if (Group->Kind == node_kind::cond_backref) {
            Group->CondInternal = to_internal(Group->CondVisible);
            if (Group->CondInternal >= m_Out.Groups.size()) {
                throw bad_regexpr("reference to nonexistent group");
            }
        } else {
            compute_group_width(Group->Condition, Done);
        }
        if (Group->AltCount < 2) {
            body.Min = 0;
        }
        Group->Width = body;
        break;
    default:
        Group->Width = body;
        break;
    }
    if (Group->Number >= 0) {
        Done[static_cast<size_t>(Group->Number)] = 1;
    }
    return Group->Width;
}

// Widths of a sequence and of every node in it, up to the end_group of Owner.
width_range width_analysis::compute_width(node* Head, const group_node* Owner, std::vector<char>& Done)
{
    width_range total{0, 0};
    for (node* cur = Head; cur; cur = cur->Next) {
        width_range width{0, 0};
        switch (cur->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::set:
        case node_kind::any:
        case node_kind::any_but_newline:
            width = width_range{1, 1};
            break;
        case node_kind::literal:
        case node_kind::literal_nocase: {
            const size_t length = static_cast<literal_node*>(cur)->Length;
            width = width_range{length, length};
            break;
        }
        case node_kind::backref:
        case node_kind::backref_nocase: {
            auto* ref = static_cast<backref_node*>(cur);
            ref->Internal = to_internal(ref->Visible);
            if (ref->Internal >= m_Out.Groups.size()) {
                throw bad_regexpr("reference to nonexistent group");
            }
            width = Done[ref->Internal] ? m_Out.Groups[ref->Internal]->Width : width_range{0, kUnbounded};
            break;
        }
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            width = compute_group_width(static_cast<group_node*>(cur), Done);
            break;
        case node_kind::recurse:
            width = width_range{0, kUnbounded};
            break;
        case node_kind::max_atom:
        case node_kind::min_atom: {
            auto* quant = static_cast<atom_quant_node*>(cur);
            width_range atom{0, 0};
            if (quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase) {
                atom = compute_width(quant->Atom, nullptr, Done);
                // compute_width walked only the atom: it has no successor.
            } else {
                atom = width_range{1, 1};
            }
            quant->Atom->Width = atom;
            width = Multiply(atom, quant->Lb, quant->Ub);
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            auto* quant = static_cast<group_quant_node*>(cur);
            width = Multiply(compute_group_width(quant->Group, Done), quant->Lb, quant->Ub);
            break;
        }
        case node_kind::end_group:
            if (static_cast<end_group_node*>(cur)->Group == Owner) {
                cur->Width = width_range{0, 0};
                return total;
            }
            break;
        default:
            break;
        }
        cur->Width = width;
        total.Min = saturating_add(total.Min, width.Min);
        total.Max = saturating_add(total.Max, width.Max);
    }
    return total;
}

} // namespace

// Adds the byte a character or literal node begins with, in both cases when it ignores case.
void add_leading_bytes(const node* Node, byte_set& Out)
{
    if (Node->Kind == node_kind::chr || Node->Kind == node_kind::chr_nocase) {
        const auto* ch = static_cast<const char_node*>(Node);
        Out.set(ch->Lower);
        Out.set(ch->Upper);
    } else {
        const auto* literal = static_cast<const literal_node*>(Node);
        Out.set(literal->Lower[0]);
        Out.set(literal->Upper[0]);
    }
}

// A group was parsed whole: its first-byte set (only when every alternative can tell) and its place in the
// table of groups by number.
void note_completed_group(compiled_pattern& Pattern, group_node* Group, size_t NestedFirst)
{
    // First-byte set: only when every alternative can tell. A conditional without a second branch may
    // match nothing, so it has none.
    const bool conditional = Group->Kind == node_kind::cond_backref || Group->Kind == node_kind::cond_assert;
    if (!conditional || Group->AltCount == 2) {
        byte_set first;
        bool all = true;
        for (size_t i = 0; i < Group->AltCount && all; ++i) {
            all = PeekFirst(Group->Alts[i], first);
        }
        Group->HasFirst = all;
        Group->First = all ? first : byte_set();
    }
    if (Group->Number >= 0) {
        const auto number = static_cast<size_t>(Group->Number);
        if (Pattern.Groups.size() <= number) {
            Pattern.Groups.resize(number + 1, nullptr);
        }
        Pattern.Groups[number] = Group;
    }
    Group->NestedFirst = NestedFirst;
    Group->NestedCount = Pattern.GroupCounter - NestedFirst;
}

void measure_widths(compiled_pattern& Pattern)
{
    Pattern.Width = width_analysis(Pattern).group_width(Pattern.Top);
    Pattern.End->Width = width_range{0, 0};
}

void number_visible_groups(compiled_pattern& Pattern)
{
    std::vector<char> invisible(Pattern.GroupCounter, 0);
    for (size_t number : Pattern.Invisible) {
        invisible[number] = 1;
    }
    for (size_t i = 0; i < Pattern.GroupCounter; ++i) {
        if (!invisible[i]) {
            Pattern.VisibleToInternal.push_back(i);
        }
    }
}

} // namespace detail
} // namespace regex
