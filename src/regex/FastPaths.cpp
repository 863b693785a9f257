#include "regex/FastPaths.h"

#include "regex/Analysis.h"
#include "regex/Prefix.h"

#include <cstring>

namespace regex {
namespace detail {

namespace {

// The one or two bytes outside Set (both entries the same byte when there is one); -1 when there are more
// or none. A scan over Set's bytes then stops at those bytes, 16 at a time.
void FewOutside(const byte_set& Set, int (&Out)[2])
{
    int found = 0;
    for (unsigned ch = 0; ch < 256; ++ch) {
        if (!Set.test(static_cast<unsigned char>(ch))) {
            if (found == 2) {
                Out[0] = Out[1] = -1;
                return;
            }
            Out[found++] = static_cast<int>(ch);
        }
    }
    if (found == 0) {
        Out[0] = Out[1] = -1;
    } else if (found == 1) {
        Out[1] = Out[0];
    }
}

class fast_path_analysis {
  public:
    fast_path_analysis(compiled_pattern& Out, bool HasBackrefs) : m_Out(Out), m_HasBackrefs(HasBackrefs) {}

    void run();

  private:
    void analyse_group(group_node* Group, bool InRepeat);
    void analyse_chain(node* Head, const group_node* Owner, bool InRepeat);
    bool first_of_group(group_node* Group, byte_set& Out);
    bool fast_first(const node* Node, const group_node* Stop, byte_set& Out, bool* AtEnd = nullptr);
    bool capture_free(const node* Head, const group_node* Owner) const;
    void analyse_lookaround(group_node* Group);
    bool simple_chain(const node* Head, const group_node* Owner) const;
    void analyse_first_start_only();
    void find_required_byte(const group_node* Group);
    void assign_memo_slots(const group_node* Group, bool Leading);
    void find_whole_literal();

    compiled_pattern& m_Out;
    const bool m_HasBackrefs;
};

void fast_path_analysis::run()
{
    analyse_group(m_Out.Top, false);
    byte_set first;
    m_Out.HasTopFirst = first_of_group(m_Out.Top, first);
    m_Out.TopFirst = first;
    m_Out.TopFirstSingle = m_Out.HasTopFirst ? first.single() : -1;
    analyse_first_start_only();
    find_required_byte(m_Out.Top);
    if (!m_HasBackrefs && !m_Out.HasRecursion) {
        assign_memo_slots(m_Out.Top, true);
    }
    find_whole_literal();
}

// The bytes any match of Group begins with; false when the group may match nothing or cannot tell.
bool fast_path_analysis::first_of_group(group_node* Group, byte_set& Out)
{
    if (Group->FirstFastState == 0) {
        Group->FirstFastState = 2; // in progress: a cycle reads "unknown"
        byte_set first;
        bool known = Group->AltCount > 0;
        if (Group->Kind == node_kind::cond_backref || Group->Kind == node_kind::cond_assert) {
            known = known && Group->AltCount == 2;
        }
        for (size_t i = 0; i < Group->AltCount && known; ++i) {
            known = fast_first(Group->Alts[i], Group, first);
        }
        Group->FirstFastState = known ? 1 : 2;
        Group->FirstFast = known ? first : byte_set();
    }
    if (Group->FirstFastState == 1) {
        Out |= Group->FirstFast;
        return true;
    }
    return false;
}

// Adds to Out every byte that a successful match of the rest of the pattern from Node can begin with; false
// when the rest may match without consuming a byte or the bytes cannot be told. Stop: a group whose end
// counts as "may match nothing" (when asking about the group alone); null follows the pattern outwards.
// With AtEnd, an end-of-subject assertion ($ \Z \z) counts as "may also begin at the end of the subject"
// (*AtEnd is then set) instead of being looked through.
bool fast_path_analysis::fast_first(const node* Node, const group_node* Stop, byte_set& Out, bool* AtEnd)
{
    // Long runs of optional items (a?b?c?...) would make the analysis quadratic: past a few dozen steps
    // the answer is "cannot tell", which only turns a fast path off.
    for (int steps = 0; steps < 64; ++steps) {
        switch (Node->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::literal:
        case node_kind::literal_nocase:
            add_leading_bytes(Node, Out);
            return true;
        case node_kind::set:
            Out |= static_cast<const set_node*>(Node)->Set;
            return true;
        case node_kind::any: {
            byte_set all;
            all.invert();
            Out |= all;
            return true;
        }
        case node_kind::any_but_newline: {
            byte_set all;
            all.invert();
            all.Bits[0] &= ~(std::uint64_t{1} << '\n');
            Out |= all;
            return true;
        }
        case node_kind::lookahead: {
            // A positive look-ahead whose body must consume tells the first byte by itself.
            auto* group = const_cast<group_node*>(static_cast<const group_node*>(Node));
            if (group->Positive && first_of_group(group, Out)) {
                return true;
            }
            if (group->Positive && AtEnd) {
                byte_set first;
                bool atEnd = false;
                bool known = true;
                for (size_t i = 0; i < group->AltCount && known; ++i) {
                    known = fast_first(group->Alts[i], group, first, &atEnd);
                }
                if (known) {
                    Out |= first;
                    *AtEnd = *AtEnd || atEnd;
                    return true;
                }
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::assert_peos:
        case node_kind::assert_eol:
        case node_kind::assert_eos:
            if (AtEnd) {
                if (Node->Kind != node_kind::assert_eos) {
                    Out.set('\n');
                }
                *AtEnd = true;
                return true;
            }
            Node = Node->Next;
            continue;
        case node_kind::assert_bos:
        case node_kind::assert_bol:
        case node_kind::word_boundary:
        case node_kind::not_word_boundary:
        case node_kind::lookbehind:
            Node = Node->Next;
            continue;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            return first_of_group(const_cast<group_node*>(static_cast<const group_node*>(Node)), Out);
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(Node);
            if (quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase) {
                return false;
            }
            if (quant->Ub > 0 && !fast_first(quant->Atom, Stop, Out)) {
                return false;
            }
            if (quant->Lb > 0) {
                return true;
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(Node);
            if (quant->Ub > 0 && !first_of_group(quant->Group, Out)) {
                return false;
            }
            if (quant->Lb > 0) {
                return true;
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::end_quant: {
            // After an iteration: another one (only if more than one is allowed), or the rest.
            const auto* quant = static_cast<const end_quant_node*>(Node)->Quant;
            if (quant->Ub > 1 && !first_of_group(quant->Group, Out)) {
                return false;
            }
            Node = quant->Next;
            continue;
        }
        case node_kind::end_group: {
            const group_node* group = static_cast<const end_group_node*>(Node)->Group;
            // The body of an atomic group or look-around succeeds at its end whatever follows; group 0
            // may end a recursion.
            if (group == Stop || group == m_Out.Top || group->Kind == node_kind::lookahead ||
                group->Kind == node_kind::lookbehind || group->Kind == node_kind::independent) {
                return false;
            }
            Node = group->Next;
            continue;
        }
        default:
            return false;
        }
    }
    return false;
}

// True when nothing from Head up to Owner's end_group captures or recurses.
bool fast_path_analysis::capture_free(const node* Head, const group_node* Owner) const
{
    for (const node* cur = Head; cur; cur = cur->Next) {
        const group_node* group = nullptr;
        switch (cur->Kind) {
        case node_kind::recurse:
            return false;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            group = static_cast<const group_node*>(cur);
            break;
        case node_kind::max_group:
        case node_kind::min_group:
            group = static_cast<const group_quant_node*>(cur)->Group;
            break;
        case node_kind::end_group:
            if (static_cast<const end_group_node*>(cur)->Group == Owner) {
                return true;
            }
            break;
        default:
            break;
        }
        if (!group) {
            continue;
        }
        if (group->Capturing) {
            return false;
        }
        if (group->Condition && !capture_free(group->Condition->Alts[0], group->Condition)) {
            return false;
        }
        for (size_t i = 0; i < group->AltCount; ++i) {
            if (!capture_free(group->Alts[i], group)) {
                return false;
            }
        }
    }
    return true;
}

bool IsSimpleNode(node_kind Kind)
{
    return Kind <= node_kind::not_word_boundary;
}

bool fast_path_analysis::simple_chain(const node* Head, const group_node* Owner) const
{
    for (const node* cur = Head;; cur = cur->Next) {
        if (cur->Kind == node_kind::end_group && static_cast<const end_group_node*>(cur)->Group == Owner) {
            return true;
        }
        if (!IsSimpleNode(cur->Kind)) {
            return false;
        }
    }
}

void fast_path_analysis::analyse_lookaround(group_node* Group)
{
    bool free = true;
    for (size_t i = 0; i < Group->AltCount && free; ++i) {
        free = capture_free(Group->Alts[i], Group);
    }
    Group->Predicate = free;
    if (!free) {
        return;
    }
    node** alts = Group->Alts;
    if (Group->Kind == node_kind::lookbehind) {
        // (?<=X Y) holds exactly when (?<=Y) holds if X may always match nothing and captures nothing: the
        // match of Y that ends at p starts somewhere, and X matches the empty string right there.
        Group->FastAltCount = Group->AltCount;
        Group->FastAlts = m_Out.Arena.make_array<node*>(Group->AltCount);
        Group->FastAltInfo = m_Out.Arena.make_array<alt_info>(Group->AltCount);
        Group->FastInner = width_range{kUnbounded, 0};
        for (size_t i = 0; i < Group->AltCount; ++i) {
            node* cur = Group->Alts[i];
            while (((cur->Kind == node_kind::max_atom || cur->Kind == node_kind::min_atom) &&
                    static_cast<atom_quant_node*>(cur)->Lb == 0) ||
                   ((cur->Kind == node_kind::max_group || cur->Kind == node_kind::min_group) &&
                    static_cast<group_quant_node*>(cur)->Lb == 0)) {
                cur = cur->Next;
            }
            Group->FastAlts[i] = cur;
            width_range width{0, 0};
            for (const node* n = cur;
                 n->Kind != node_kind::end_group || static_cast<const end_group_node*>(n)->Group != Group;
                 n = n->Next) {
                width.Min = saturating_add(width.Min, n->Width.Min);
                width.Max = saturating_add(width.Max, n->Width.Max);
            }
            Group->FastInner.Min = std::min(Group->FastInner.Min, width.Min);
            Group->FastInner.Max = std::max(Group->FastInner.Max, width.Max);
            byte_set first;
            Group->FastAltInfo[i].HasFirst = fast_first(cur, Group, first);
            Group->FastAltInfo[i].First = first;
        }
        alts = Group->FastAlts;
    }
    bool simple = true;
    for (size_t i = 0; i < Group->AltCount && simple; ++i) {
        simple = simple_chain(alts[i], Group);
    }
    Group->Simple = simple;
}

void fast_path_analysis::analyse_group(group_node* Group, bool InRepeat)
{
    // A group inside a repetition is entered again by the next iteration while an earlier entry may still
    // be resumed by backtracking: its entry position needs an undo record.
    Group->LogTentative = Group->Capturing && (InRepeat || m_Out.HasRecursion);
    Group->AltInfo = m_Out.Arena.make_array<alt_info>(Group->AltCount);
    for (size_t i = 0; i < Group->AltCount; ++i) {
        byte_set first;
        Group->AltInfo[i].HasFirst = fast_first(Group->Alts[i], nullptr, first);
        Group->AltInfo[i].First = first;
        Group->AltFilter = Group->AltFilter || Group->AltInfo[i].HasFirst;
        analyse_chain(Group->Alts[i], Group, InRepeat);
    }
    if (Group->Condition) {
        analyse_group(Group->Condition, InRepeat);
    }
    if (Group->Kind == node_kind::lookahead || Group->Kind == node_kind::lookbehind) {
        analyse_lookaround(Group);
    }
}

void fast_path_analysis::analyse_chain(node* Head, const group_node* Owner, bool InRepeat)
{
    for (node* cur = Head; cur; cur = cur->Next) {
        switch (cur->Kind) {
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            analyse_group(static_cast<group_node*>(cur), InRepeat);
            break;
        case node_kind::max_atom:
        case node_kind::min_atom: {
            auto* quant = static_cast<atom_quant_node*>(cur);
            byte_set follow;
            quant->HasFollow = fast_first(quant->Next, nullptr, follow);
            if (!quant->HasFollow) {
                follow = byte_set();
                bool atEnd = false;
                quant->HasFollow = fast_first(quant->Next, nullptr, follow, &atEnd);
                quant->FollowAtEnd = quant->HasFollow && atEnd;
            }
            quant->Follow = follow;
            if (quant->Atom->Kind != node_kind::backref && quant->Atom->Kind != node_kind::backref_nocase) {
                fast_first(quant->Atom, nullptr, quant->AtomSet);
            }
            quant->LazySkip = quant->AtomSet;
            for (int i = 0; i < 4; ++i) {
                quant->LazySkip.Bits[i] &= ~follow.Bits[i];
            }
            if (quant->HasFollow &&
                (quant->Atom->Kind == node_kind::any || quant->Atom->Kind == node_kind::any_but_newline)) {
                quant->FollowSingle = follow.single();
            }
            const bool dot =
                quant->Atom->Kind == node_kind::any || quant->Atom->Kind == node_kind::any_but_newline;
            const bool backref =
                quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase;
            if (!dot && !backref) {
                FewOutside(quant->AtomSet, quant->GreedyStops);
                if (quant->HasFollow) {
                    FewOutside(quant->LazySkip, quant->LazyStops);
                }
            }
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            auto* quant = static_cast<group_quant_node*>(cur);
            group_node* group = quant->Group;
            analyse_group(group, true);
            bool simple = group->Kind == node_kind::group;
            byte_set members;
            for (size_t i = 0; i < group->AltCount && simple; ++i) {
                const node* alt = group->Alts[i];
                simple = (alt->Kind == node_kind::chr || alt->Kind == node_kind::chr_nocase ||
                          alt->Kind == node_kind::set || alt->Kind == node_kind::any ||
                          alt->Kind == node_kind::any_but_newline) &&
                         alt->Next->Kind == node_kind::end_group;
                simple = simple && fast_first(alt, group, members);
            }
            quant->Simple = simple;
            quant->SimpleSet = members;
            byte_set follow;
            quant->HasFollow = fast_first(quant->Next, nullptr, follow);
            quant->Follow = follow;
            quant->LazySkip = members;
            for (int i = 0; i < 4; ++i) {
                quant->LazySkip.Bits[i] &= ~follow.Bits[i];
            }
            break;
        }
        case node_kind::end_group:
            if (static_cast<end_group_node*>(cur)->Group == Owner) {
                return;
            }
            break;
        default:
            break;
        }
    }
}

// A pattern that begins with .* or .+ under SINGLELINE (possibly inside plain groups of one alternative)
// cannot match at a later start once it failed at the first: the dot reaches every position a later start
// could reach. Only when no back-reference or recursion could see where the groups began.
void fast_path_analysis::analyse_first_start_only()
{
    if ((m_Out.Flags & FROM_RIGHT) || m_HasBackrefs || m_Out.HasRecursion) {
        return;
    }
    const group_node* group = m_Out.Top;
    for (;;) {
        if (group->AltCount != 1) {
            return;
        }
        const node* first = group->Alts[0];
        if (first->Kind == node_kind::group) {
            group = static_cast<const group_node*>(first);
            continue;
        }
        if (first->Kind != node_kind::max_atom && first->Kind != node_kind::min_atom) {
            return;
        }
        const auto* quant = static_cast<const atom_quant_node*>(first);
        m_Out.FirstStartOnly =
            quant->Atom->Kind == node_kind::any && quant->Lb <= 1 && quant->Ub == kUnbounded;
        return;
    }
}

// The last byte that every match must contain: from the nodes every match passes through (one
// alternative, mandatory repetitions, plain groups), never from inside look-arounds.
void fast_path_analysis::find_required_byte(const group_node* Group)
{
    if (Group->AltCount != 1) {
        return;
    }
    for (const node* cur = Group->Alts[0]; cur->Kind != node_kind::end_group; cur = cur->Next) {
        switch (cur->Kind) {
        case node_kind::chr:
            m_Out.RequiredByte = static_cast<const char_node*>(cur)->Lower;
            break;
        case node_kind::literal: {
            const auto* literal = static_cast<const literal_node*>(cur);
            m_Out.RequiredByte = literal->Lower[literal->Length - 1];
            break;
        }
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(cur);
            if (quant->Lb > 0 && quant->Atom->Kind == node_kind::chr) {
                m_Out.RequiredByte = static_cast<const char_node*>(quant->Atom)->Lower;
            }
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(cur);
            if (quant->Lb > 0 && quant->Group->Kind != node_kind::cond_backref &&
                quant->Group->Kind != node_kind::cond_assert) {
                find_required_byte(quant->Group);
            }
            break;
        }
        case node_kind::group:
        case node_kind::independent:
            find_required_byte(static_cast<const group_node*>(cur));
            break;
        default:
            break;
        }
    }
}

// A repetition of single bytes without upper bound that every match reaches outside repeated groups,
// look-arounds, atomic groups and conditionals: whether the rest of the pattern succeeds from a position
// depends on that position only, as long as no back-reference, conditional or recursion can look at the
// captures. Entered at r, such a repetition tries the rest at every position from r + Lb up to the end of
// its run of matching bytes; when all of that failed, an entry at any later position of the same run
// fails as well. The matcher remembers the failed entry per repetition for the rest of the search, which
// keeps e.g. ".*?(<img.*?/>).*?(<h1>...)" and a failing "(?:a|b)*c" from rescanning the same run.
// Entries inside one run come from the dots, which span whatever precedes them, and from the search loop
// when the pattern begins with the repetition; other repetitions ([^>]*? after "<img") start a run of their
// own almost every time, so they keep no memo and pay nothing for it.
void fast_path_analysis::assign_memo_slots(const group_node* Group, bool Leading)
{
    for (size_t i = 0; i < Group->AltCount; ++i) {
        bool leading = Leading;
        for (node* cur = Group->Alts[i]; cur->Kind != node_kind::end_group; cur = cur->Next) {
            if (m_Out.MemoSlots == kMaxMemoSlots) {
                return;
            }
            switch (cur->Kind) {
            case node_kind::group:
                assign_memo_slots(static_cast<const group_node*>(cur), leading);
                break;
            case node_kind::max_atom:
            case node_kind::min_atom: {
                auto* quant = static_cast<atom_quant_node*>(cur);
                const node_kind atom = quant->Atom->Kind;
                const bool dot = atom == node_kind::any || atom == node_kind::any_but_newline;
                if (quant->Ub == kUnbounded && (dot || leading) && atom != node_kind::backref &&
                    atom != node_kind::backref_nocase) {
                    quant->MemoSlot = static_cast<int>(m_Out.MemoSlots++);
                }
                break;
            }
            case node_kind::max_group:
            case node_kind::min_group: {
                auto* quant = static_cast<group_quant_node*>(cur);
                if (quant->Ub == kUnbounded && quant->Simple && leading) {
                    quant->MemoSlot = static_cast<int>(m_Out.MemoSlots++);
                }
                break;
            }
            default:
                break;
            }
            leading = false;
        }
    }
}

// A pattern that is one case-sensitive literal (such as "<noindex>" or "^http://") needs no machine: the
// search is a scan for the literal, or one comparison at the subject begin.
void fast_path_analysis::find_whole_literal()
{
    const group_node* top = m_Out.Top;
    if ((m_Out.Flags & FROM_RIGHT) || m_Out.GroupCounter != 1 || top->AltCount != 1) {
        return;
    }
    const node* cur = top->Alts[0];
    const bool anchored = cur->Kind == node_kind::assert_bos;
    if (anchored) {
        cur = cur->Next;
    }
    std::string text;
    for (; cur->Kind != node_kind::end_group; cur = cur->Next) {
        if (cur->Kind == node_kind::chr) {
            text += static_cast<char>(static_cast<const char_node*>(cur)->Lower);
        } else if (cur->Kind == node_kind::literal) {
            const auto* literal = static_cast<const literal_node*>(cur);
            text.append(reinterpret_cast<const char*>(literal->Lower), literal->Length);
        } else {
            return;
        }
    }
    if (text.empty()) {
        return;
    }
    m_Out.WholeLiteral = true;
    m_Out.LiteralAnchored = anchored;
    m_Out.Literal = text;
    if (text.size() >= 2) {
        m_Out.LiteralProbes = choose_probes(text);
    }
}

} // namespace

void analyse_fast_paths(compiled_pattern& Pattern, bool HasBackrefs)
{
    fast_path_analysis(Pattern, HasBackrefs).run();
}

} // namespace detail
} // namespace regex
