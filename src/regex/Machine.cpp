#include "regex/Matcher.h"

#include "regex/Lookarounds.h"
#include "regex/MatchSupport.h"
#include "regex/Scanners.h"

#include <algorithm>
#include <cstring>

namespace regex {
namespace detail {

namespace {

// Frame kinds. Undo records come first: a cut keeps them and drops everything from kFirstChoice on.
enum frame_tag : std::uint8_t {
    undo_capture,   // aux group; Node old begin; Pos old end; X old matched
    undo_tentative, // aux group; Pos old tentative start
    undo_quant,     // aux group; Node old prev; Pos old cur; X old count
    undo_count,     // aux group; X old count
    undo_shift,     // aux group; Pos old prev (cur is the prev of now)
    kFirstChoice,
    choice_alt = kFirstChoice, // Node group; Pos p; X next alternative; aux 1 = the look-behind's fast ones
    choice_greedy_atom,        // Node quant; Pos last position tried; X lowest position
    choice_lazy_atom,          // Node quant; Pos last position tried; X highest position
    choice_greedy_backref,     // Node quant; Pos last position tried; X count there
    choice_lazy_backref,       // Node quant; Pos last position tried; X count there
    choice_group_rest,         // Node quant; Pos iteration point; X count before the iteration (greedy)
    choice_group_iter,         // Node quant; Pos iteration point; X count (lazy)
    choice_simple_greedy,      // Node quant; Pos last position tried; X lowest position; aux 1 when Lb == 0
    choice_simple_lazy,        // Node quant; Pos last position tried; X highest position
    lb_retry,                  // Node look-behind; Pos p; X the start that succeeded
    memo_entry,                // aux memo slot; Node quant; Pos where the repetition was entered
    // Barriers: aux = (index + 1 of the enclosing barrier) << 1 | uses the fast alternatives.
    barrier_lookahead,       // Node look-ahead; Pos p
    barrier_lookbehind,      // Node look-behind; Pos p; X current start
    barrier_lb_pred,         // Node look-behind; Pos p; X current start (predicate: no retry)
    barrier_cond_lookahead,  // Node conditional; Pos p
    barrier_cond_lookbehind, // Node conditional; Pos p; X current start
    barrier_independent,     // Node group; Pos p
    barrier_recurse,         // Node recurse node; Pos p
};

inline std::uint8_t TagOf(std::uint64_t Tag)
{
    return static_cast<std::uint8_t>(Tag & 0xFF);
}

inline std::uint64_t AuxOf(std::uint64_t Tag)
{
    return Tag >> 8;
}

inline bool IsLookbehindBarrier(std::uint8_t Tag)
{
    return Tag == barrier_lookbehind || Tag == barrier_lb_pred || Tag == barrier_cond_lookbehind;
}

inline const char* AsPos(std::uintptr_t Value)
{
    return reinterpret_cast<const char*>(Value);
}

inline std::uintptr_t AsValue(const char* Pos)
{
    return reinterpret_cast<std::uintptr_t>(Pos);
}

// Whether the text Record captured stands again at At (before End); NoCase compares ignoring case. An
// unmatched group matches nowhere.
inline bool CaptureRepeatsAt(const group_record& Record, bool NoCase, const char* At, const char* End)
{
    const auto length = static_cast<size_t>(Record.End - Record.Begin);
    if (!Record.Matched || static_cast<size_t>(End - At) < length) {
        return false;
    }
    if (!NoCase) {
        return std::memcmp(At, Record.Begin, length) == 0;
    }
    for (size_t i = 0; i < length; ++i) {
        if (to_upper(byte_at(At + i)) != to_upper(byte_at(Record.Begin + i))) {
            return false;
        }
    }
    return true;
}

const node* Branch(const group_node* Conditional, bool Holds)
{
    if (Holds) {
        return Conditional->Alts[0];
    }
    return Conditional->AltCount > 1 ? Conditional->Alts[1] : Conditional->Next;
}

} // namespace

void matcher::grow()
{
    const size_t size = m_Stack.size() * 2;
    if (size * sizeof(frame) > m_Options.stack_limit) {
        throw limit_exceeded();
    }
    m_Stack.resize(size);
}

// The end of the subject as the nodes see it: inside a look-behind body, the position of the look-behind.
const char* matcher::barrier_end() const
{
    for (size_t barrier = m_Barrier; barrier;) {
        const frame& f = m_Stack[barrier - 1];
        if (IsLookbehindBarrier(TagOf(f.Tag))) {
            return f.Pos;
        }
        barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
    }
    return m_SubjectEnd;
}

// Whether an entry of a repetition with a failure memo at Pos must fail: an entry at or before Pos in the
// same run of Members failed. A known failure moves on to Pos; a run that ends before Pos is forgotten.
bool matcher::known_to_fail(size_t Slot, const byte_set& Members, node_kind Atom, const char* Pos)
{
    const char* from = m_FailFrom[Slot];
    if (!from || Pos < from) {
        return false;
    }
    bool sameRun = true;
    if (Atom == node_kind::any_but_newline) {
        sameRun = !std::memchr(from, '\n', static_cast<size_t>(Pos - from));
    } else if (Atom != node_kind::any) {
        while (from != Pos && Members.test(byte_at(from))) {
            ++from;
        }
        sameRun = from == Pos;
    }
    m_FailFrom[Slot] = sameRun ? Pos : nullptr;
    return sameRun;
}

// Drops the choice points above the barrier at index Barrier (and the barrier itself unless KeepBarrier),
// keeping the undo records in their order.
void matcher::cut(size_t Barrier, bool KeepBarrier)
{
    size_t write = Barrier + (KeepBarrier ? 1 : 0);
    for (size_t read = Barrier + 1; read < m_Sp; ++read) {
        if (TagOf(m_Stack[read].Tag) < kFirstChoice) {
            m_Stack[write++] = m_Stack[read];
        }
    }
    m_Sp = write;
}

// Applies the undo record F, whose tag (below kFirstChoice) is Tag, to its group's record. Callers that know
// the tag pass it as a constant, so that no second dispatch on it is made.
inline void matcher::undo(std::uint8_t Tag, const frame& F)
{
    group_record& record = m_Records[static_cast<size_t>(AuxOf(F.Tag))];
    switch (Tag) {
    case undo_capture:
        record.Begin = static_cast<const char*>(F.Node);
        record.End = F.Pos;
        record.Matched = F.X != 0;
        break;
    case undo_tentative:
        record.Tentative = F.Pos;
        break;
    case undo_quant:
        record.Prev = static_cast<const char*>(F.Node);
        record.Cur = F.Pos;
        record.Count = F.X;
        break;
    case undo_count:
        record.Count = F.X;
        break;
    default: // undo_shift
        record.Cur = record.Prev;
        record.Prev = F.Pos;
        break;
    }
}

// After a recursion succeeded: the entry positions and repetition counters of all groups go back to what
// they were before it, its captures stay. The undo records stay too (applying them again is harmless).
void matcher::restore_repetition_state(size_t Barrier)
{
    for (size_t i = m_Sp; i > Barrier + 1; --i) {
        const frame& f = m_Stack[i - 1];
        const std::uint8_t tag = TagOf(f.Tag);
        if (tag < kFirstChoice && tag != undo_capture) {
            undo(tag, f);
        }
    }
}

// Sets the capture of Group to Begin..End, with the undo record of what it held.
inline void matcher::capture(const group_node* Group, const char* Begin, const char* End)
{
    group_record& record = m_Records[static_cast<size_t>(Group->Number)];
    push(undo_capture, static_cast<std::uint64_t>(Group->Number), record.Begin, record.End,
         record.Matched ? 1 : 0);
    record.Begin = Begin;
    record.End = End;
    record.Matched = true;
}

// Starts the alternatives of Group at Pos: pushes the choice of the later ones and returns the first
// alternative's first node, or null when (fast paths) no alternative can begin here.
template <bool Fast>
#if defined(__GNUC__)
// Inlined into the machine's loop: a group is entered at almost every other step of a page pattern.
__attribute__((always_inline))
#endif
inline const node*
matcher::alternatives(const group_node* Group, const char* Pos, bool FastAlts)
{
    node* const* alts = Group->Alts;
    size_t count = Group->AltCount;
    if (Fast && (FastAlts || Group->AltFilter)) {
        const alt_info* info = Group->AltInfo;
        if (FastAlts) {
            alts = Group->FastAlts;
            count = Group->FastAltCount;
            info = Group->FastAltInfo;
        }
        size_t first = 0;
        while (first < count && cannot_begin(info[first], Pos, m_End)) {
            ++first;
        }
        if (first == count) {
            return nullptr;
        }
        size_t next = first + 1;
        while (next < count && cannot_begin(info[next], Pos, m_End)) {
            ++next;
        }
        if (next < count) {
            push(choice_alt, FastAlts ? 1 : 0, Group, Pos, next);
        }
        return alts[first];
    }
    if (count > 1) {
        push(choice_alt, 0, Group, Pos, 1);
    }
    return alts[0];
}

// Runs the pattern from Start until it matches (true) or every choice is spent (false).
//
// One function on purpose. The node dispatch, the failure path that pops frames and resumes choice points,
// and the look-behind window loop jump into one another with goto and share n, p and the cached stack
// fields in registers; split into functions, each node and each failure would pay a call and reload that
// state, and the program's patterns run measurably slower. The helpers it calls are small and inline.
// Fast: the fast paths of the compiled pattern are used (instantiated both ways, at the end of this file).
template <bool Fast> bool matcher::run(const char* Start)
{
    const node* n = m_Pattern.Top;
    const char* p = Start;
    // The step budget of the search, counted here in a local and handed back when the run ends (a limit
    // that runs out ends the search).
    std::size_t steps = m_Steps;
    // The backtracking budget likewise: one unit per frame given back.
    std::size_t backtracks = m_Backtracks;
    for (;;) {
        if (--steps == 0) {
            throw limit_exceeded();
        }
        switch (n->Kind) {
        case node_kind::chr:
            if (p != m_End && byte_at(p) == static_cast<const char_node*>(n)->Lower) {
                ++p;
                n = n->Next;
                continue;
            }
            goto fail;
        case node_kind::chr_nocase: {
            const auto* ch = static_cast<const char_node*>(n);
            if (p != m_End && (byte_at(p) == ch->Lower || byte_at(p) == ch->Upper)) {
                ++p;
                n = n->Next;
                continue;
            }
            goto fail;
        }
        case node_kind::literal: {
            const auto* literal = static_cast<const literal_node*>(n);
            if (static_cast<size_t>(m_End - p) >= literal->Length &&
                same_bytes(p, literal->Lower, literal->Length)) {
                p += literal->Length;
                n = n->Next;
                continue;
            }
            goto fail;
        }
        case node_kind::literal_nocase: {
            const auto* literal = static_cast<const literal_node*>(n);
            if (static_cast<size_t>(m_End - p) < literal->Length) {
                goto fail;
            }
            for (size_t i = 0; i < literal->Length; ++i) {
                if (byte_at(p + i) != literal->Lower[i] && byte_at(p + i) != literal->Upper[i]) {
                    goto fail;
                }
            }
            p += literal->Length;
            n = n->Next;
            continue;
        }
        case node_kind::set:
            if (p != m_End && static_cast<const set_node*>(n)->Set.test(byte_at(p))) {
                ++p;
                n = n->Next;
                continue;
            }
            goto fail;
        case node_kind::any_but_newline:
            if (p != m_End && *p != '\n') {
                ++p;
                n = n->Next;
                continue;
            }
            goto fail;
        case node_kind::any:
            if (p != m_End) {
                ++p;
                n = n->Next;
                continue;
            }
            goto fail;
        case node_kind::assert_bos:
        case node_kind::assert_bol:
        case node_kind::assert_peos:
        case node_kind::assert_eol:
        case node_kind::assert_eos:
        case node_kind::word_boundary:
        case node_kind::not_word_boundary:
            if (!assertion_holds(n->Kind, m_Begin, p, m_End)) {
                goto fail;
            }
            n = n->Next;
            continue;
        case node_kind::backref:
        case node_kind::backref_nocase: {
            const group_record& record = m_Records[static_cast<const backref_node*>(n)->Internal];
            if (!CaptureRepeatsAt(record, n->Kind == node_kind::backref_nocase, p, m_End)) {
                goto fail;
            }
            p += record.End - record.Begin;
            n = n->Next;
            continue;
        }
        case node_kind::group: {
            const auto* group = static_cast<const group_node*>(n);
            if (cannot_begin(*group, p, m_End)) {
                goto fail;
            }
            if (group->Capturing) {
                group_record& record = m_Records[static_cast<size_t>(group->Number)];
                if (group->LogTentative) {
                    push(undo_tentative, static_cast<std::uint64_t>(group->Number), nullptr, record.Tentative,
                         0);
                }
                record.Tentative = p;
            }
            n = alternatives<Fast>(group, p, false);
            if (!n) {
                goto fail;
            }
            continue;
        }
        case node_kind::independent: {
            const auto* group = static_cast<const group_node*>(n);
            if (cannot_begin(*group, p, m_End)) {
                goto fail;
            }
            push_barrier(barrier_independent, false, group, p, 0);
            n = alternatives<Fast>(group, p, false);
            if (!n) {
                goto fail;
            }
            continue;
        }
        case node_kind::lookahead: {
            const auto* group = static_cast<const group_node*>(n);
            if (Fast && group->Simple) {
                if (simple_lookahead(group, p) == group->Positive) {
                    n = n->Next;
                    continue;
                }
                goto fail;
            }
            push_barrier(barrier_lookahead, false, group, p, 0);
            if (cannot_begin(*group, p, m_End)) {
                goto fail;
            }
            n = alternatives<Fast>(group, p, false);
            if (!n) {
                goto fail;
            }
            continue;
        }
        case node_kind::lookbehind: {
            const auto* group = static_cast<const group_node*>(n);
            const bool fastBody = Fast && group->Predicate;
            const width_range width = fastBody ? group->FastInner : group->Inner;
            const auto available = static_cast<size_t>(p - m_Begin);
            if (width.Min > available) {
                if (group->Positive) {
                    goto fail;
                }
                n = n->Next;
                continue;
            }
            if (Fast && group->Simple) {
                if (simple_lookbehind(group, p) == group->Positive) {
                    n = n->Next;
                    continue;
                }
                goto fail;
            }
            const char* start = p - std::min(width.Max, available);
            push_barrier(fastBody ? barrier_lb_pred : barrier_lookbehind, fastBody, group, p, AsValue(start));
            m_End = p;
            // Entered from the failure path, which tries each start of the window in turn.
            goto fail;
        }
        case node_kind::cond_backref: {
            const auto* group = static_cast<const group_node*>(n);
            if (cannot_begin(*group, p, m_End)) {
                goto fail;
            }
            const bool holds =
                group->CondInternal < m_Records.size() && m_Records[group->CondInternal].Matched;
            n = Branch(group, holds);
            continue;
        }
        case node_kind::cond_assert: {
            const auto* group = static_cast<const group_node*>(n);
            if (cannot_begin(*group, p, m_End)) {
                goto fail;
            }
            const group_node* condition = group->Condition;
            if (condition->Kind == node_kind::lookahead) {
                if (Fast && condition->Simple) {
                    n = Branch(group, simple_lookahead(condition, p) == condition->Positive);
                    continue;
                }
                push_barrier(barrier_cond_lookahead, false, group, p, 0);
                if (cannot_begin(*condition, p, m_End)) {
                    goto fail;
                }
                n = alternatives<Fast>(condition, p, false);
                if (!n) {
                    goto fail;
                }
                continue;
            }
            const bool fastBody = Fast && condition->Predicate;
            const width_range width = fastBody ? condition->FastInner : condition->Inner;
            const auto available = static_cast<size_t>(p - m_Begin);
            if (width.Min > available) {
                n = Branch(group, !condition->Positive);
                continue;
            }
            if (Fast && condition->Simple) {
                n = Branch(group, simple_lookbehind(condition, p) == condition->Positive);
                continue;
            }
            const char* start = p - std::min(width.Max, available);
            push_barrier(barrier_cond_lookbehind, fastBody, group, p, AsValue(start));
            m_End = p;
            goto fail;
        }
        case node_kind::recurse:
            if (p == m_Records[0].Tentative) {
                n = n->Next;
                continue;
            }
            push_barrier(barrier_recurse, false, n, p, 0);
            n = m_Pattern.Top;
            continue;
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(n);
            const node* atom = quant->Atom;
            if (atom->Kind == node_kind::backref || atom->Kind == node_kind::backref_nocase) {
                const group_record& record = m_Records[static_cast<const backref_node*>(atom)->Internal];
                const bool nocase = atom->Kind == node_kind::backref_nocase;
                const auto length = static_cast<size_t>(record.End - record.Begin);
                if (record.Matched && length == 0) {
                    // Matches without advancing, as often as asked: one try of the rest is all there is.
                    n = quant->Next;
                    continue;
                }
                size_t count = 0;
                const char* q = p;
                const size_t target = n->Kind == node_kind::max_atom ? quant->Ub : quant->Lb;
                while (count < target && CaptureRepeatsAt(record, nocase, q, m_End)) {
                    q += length;
                    ++count;
                }
                if (count < quant->Lb) {
                    goto fail;
                }
                if (n->Kind == node_kind::max_atom) {
                    if (count > quant->Lb) {
                        push(choice_greedy_backref, 0, quant, q, count);
                    }
                } else if (count < quant->Ub) {
                    push(choice_lazy_backref, 0, quant, q, count);
                }
                p = q;
                n = quant->Next;
                continue;
            }
            if (Fast && quant->MemoSlot >= 0) {
                const auto slot = static_cast<size_t>(quant->MemoSlot);
                if (known_to_fail(slot, quant->AtomSet, atom->Kind, p)) {
                    goto fail;
                }
                push(memo_entry, slot, nullptr, p, 0);
            }
            const size_t room = static_cast<size_t>(m_End - p);
            const char* limit = p + std::min(quant->Ub, room);
            const bool hasFollow = Fast && quant->HasFollow;
            if (n->Kind == node_kind::max_atom) {
                const char* q = limit;
                if (Fast && quant->GreedyStops[0] >= 0) {
                    q = find_stop(p, limit, quant->GreedyStops[0], quant->GreedyStops[1]);
                } else if (atom->Kind != node_kind::any) {
                    q = p;
                    const byte_set& members = quant->AtomSet;
                    while (q != limit && members.test(byte_at(q))) {
                        ++q;
                    }
                }
                if (static_cast<size_t>(q - p) < quant->Lb) {
                    goto fail;
                }
                const char* lowest = p + quant->Lb;
                if (hasFollow) {
                    q = greedy_scan(quant, lowest, q, m_End);
                    if (!q) {
                        goto fail;
                    }
                }
                if (q != lowest) {
                    push(choice_greedy_atom, 0, quant, q, AsValue(lowest));
                }
                p = q;
                n = quant->Next;
                continue;
            }
            // Lazy: the least count first.
            if (room < quant->Lb) {
                goto fail;
            }
            const char* q = p;
            const char* lowest = p + quant->Lb;
            while (q != lowest && quant->AtomSet.test(byte_at(q))) {
                ++q;
            }
            if (q != lowest) {
                goto fail;
            }
            if (hasFollow) {
                q = lazy_scan(quant, q, limit);
                if (q == m_End ? !quant->FollowAtEnd : !quant->Follow.test(byte_at(q))) {
                    goto fail;
                }
            }
            if (q != limit) {
                push(choice_lazy_atom, 0, quant, q, AsValue(limit));
            }
            p = q;
            n = quant->Next;
            continue;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(n);
            const group_node* group = quant->Group;
            if (Fast && quant->Simple) {
                // Every alternative is one single-byte atom: the group repeats like a set.
                if (quant->MemoSlot >= 0) {
                    const auto slot = static_cast<size_t>(quant->MemoSlot);
                    if (known_to_fail(slot, quant->SimpleSet, node_kind::set, p)) {
                        goto fail;
                    }
                    push(memo_entry, slot, nullptr, p, 0);
                }
                const size_t room = static_cast<size_t>(m_End - p);
                const char* limit = p + std::min(quant->Ub, room);
                const char* lowest = p + quant->Lb;
                if (room < quant->Lb) {
                    goto fail;
                }
                const char* q = p;
                if (n->Kind == node_kind::max_group) {
                    while (q != limit && quant->SimpleSet.test(byte_at(q))) {
                        ++q;
                    }
                    if (q < lowest) {
                        goto fail;
                    }
                    if (quant->HasFollow) {
                        while (q != lowest && (q == m_End || !quant->Follow.test(byte_at(q)))) {
                            --q;
                        }
                        if (q == m_End || !quant->Follow.test(byte_at(q))) {
                            goto fail;
                        }
                    }
                    if (q != lowest) {
                        push(choice_simple_greedy, quant->Lb == 0 ? 1 : 0, quant, q, AsValue(lowest));
                    }
                } else {
                    while (q != lowest && quant->SimpleSet.test(byte_at(q))) {
                        ++q;
                    }
                    if (q != lowest) {
                        goto fail;
                    }
                    if (quant->HasFollow) {
                        while (q != limit && quant->LazySkip.test(byte_at(q))) {
                            ++q;
                        }
                        if (q == m_End || !quant->Follow.test(byte_at(q))) {
                            goto fail;
                        }
                    }
                    if (q != limit) {
                        push(choice_simple_lazy, 0, quant, q, AsValue(limit));
                    }
                }
                if (group->Capturing && q != p) {
                    capture(group, q - 1, q);
                }
                p = q;
                n = quant->Next;
                continue;
            }
            group_record& record = m_Records[static_cast<size_t>(group->Number)];
            push(undo_quant, static_cast<std::uint64_t>(group->Number), record.Prev, record.Cur,
                 record.Count);
            record.Count = 0;
            record.Prev = nullptr;
            record.Cur = p;
            goto iteration_point;
        }
        case node_kind::end_quant: {
            const group_quant_node* quant = static_cast<const end_quant_node*>(n)->Quant;
            group_record& record = m_Records[static_cast<size_t>(quant->Group->Number)];
            if (p == record.Prev) {
                // Two empty iterations in a row: no more iterations.
                n = quant->Next;
                continue;
            }
            push(undo_shift, static_cast<std::uint64_t>(quant->Group->Number), nullptr, record.Prev, 0);
            record.Prev = record.Cur;
            record.Cur = p;
            n = quant;
            goto iteration_point;
        }
        case node_kind::end_group: {
            const group_node* group = static_cast<const end_group_node*>(n)->Group;
            switch (group->Kind) {
            case node_kind::group:
                if (group->Capturing) {
                    capture(group, m_Records[static_cast<size_t>(group->Number)].Tentative, p);
                }
                if (group->Number == 0 && m_Barrier && TagOf(m_Stack[m_Barrier - 1].Tag) == barrier_recurse) {
                    // A recursion's sub-match succeeded: first success only, continue after (?R).
                    const size_t barrier = m_Barrier - 1;
                    const frame f = m_Stack[barrier];
                    restore_repetition_state(barrier);
                    m_Barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
                    cut(barrier, false);
                    n = static_cast<const node*>(f.Node)->Next;
                    continue;
                }
                n = group->Next;
                continue;
            case node_kind::cond_backref:
            case node_kind::cond_assert:
                n = group->Next;
                continue;
            default:
                break;
            }
            // The body of a look-around or atomic group matched.
            const size_t barrier = m_Barrier - 1;
            const frame f = m_Stack[barrier];
            const std::uint8_t tag = TagOf(f.Tag);
            if (IsLookbehindBarrier(tag) && p != f.Pos) {
                goto fail; // a look-behind body must end exactly where the look-behind stands
            }
            m_Barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
            switch (tag) {
            case barrier_lookahead:
                cut(barrier, false);
                if (!group->Positive) {
                    goto fail;
                }
                p = f.Pos;
                n = group->Next;
                continue;
            case barrier_lookbehind:
                if (!group->Positive) {
                    cut(barrier, false);
                    m_End = barrier_end();
                    goto fail;
                }
                // Keep the barrier as the place to resume with the next start if the rest fails.
                m_Stack[barrier].Tag = lb_retry;
                cut(barrier, true);
                m_End = barrier_end();
                p = f.Pos;
                n = group->Next;
                continue;
            case barrier_lb_pred:
                cut(barrier, false);
                m_End = barrier_end();
                if (!group->Positive) {
                    goto fail;
                }
                p = f.Pos;
                n = group->Next;
                continue;
            case barrier_cond_lookahead:
            case barrier_cond_lookbehind: {
                const auto* conditional = static_cast<const group_node*>(f.Node);
                cut(barrier, false);
                m_End = barrier_end();
                p = f.Pos;
                n = Branch(conditional, conditional->Condition->Positive);
                continue;
            }
            default: // barrier_independent
                cut(barrier, false);
                n = group->Next;
                continue;
            }
        }
        case node_kind::end_of_pattern:
            if (m_RejectEmpty && p == m_RejectAt) {
                goto fail;
            }
            m_Steps = steps;
            m_Backtracks = backtracks;
            return true;
        }

    iteration_point : {
        // n is a group quantifier, p the position where the next iteration would start.
        const auto* quant = static_cast<const group_quant_node*>(n);
        const auto number = static_cast<size_t>(quant->Group->Number);
        group_record& record = m_Records[number];
        if (n->Kind == node_kind::max_group) {
            if (record.Count < quant->Ub) {
                push(choice_group_rest, 0, quant, p, record.Count);
                ++record.Count;
                n = quant->Group;
                continue;
            }
            if (record.Count < quant->Lb) {
                goto fail;
            }
            n = quant->Next;
            continue;
        }
        if (record.Count >= quant->Lb) {
            push(choice_group_iter, 0, quant, p, record.Count);
            n = quant->Next;
            continue;
        }
        if (record.Count < quant->Ub) {
            push(undo_count, number, nullptr, nullptr, record.Count);
            ++record.Count;
            n = quant->Group;
            continue;
        }
        goto fail;
    }

    fail:
        for (;;) {
            if (m_Sp == 0) {
                m_Steps = steps;
                m_Backtracks = backtracks;
                return false;
            }
            if (--steps == 0 || --backtracks == 0) {
                throw limit_exceeded();
            }
            frame& f = m_Stack[m_Sp - 1];
            switch (TagOf(f.Tag)) {
            case undo_capture:
                undo(undo_capture, f);
                --m_Sp;
                continue;
            case undo_tentative:
                undo(undo_tentative, f);
                --m_Sp;
                continue;
            case undo_quant:
                undo(undo_quant, f);
                --m_Sp;
                continue;
            case undo_count:
                undo(undo_count, f);
                --m_Sp;
                continue;
            case undo_shift:
                undo(undo_shift, f);
                --m_Sp;
                continue;
            case choice_alt: {
                const auto* group = static_cast<const group_node*>(f.Node);
                const bool fastAlts = AuxOf(f.Tag) != 0;
                const size_t index = f.X;
                p = f.Pos;
                node* const* alts = group->Alts;
                size_t count = group->AltCount;
                size_t next = index + 1;
                if (Fast && (fastAlts || group->AltFilter)) {
                    const alt_info* info = fastAlts ? group->FastAltInfo : group->AltInfo;
                    if (fastAlts) {
                        alts = group->FastAlts;
                        count = group->FastAltCount;
                    }
                    while (next < count && cannot_begin(info[next], p, m_End)) {
                        ++next;
                    }
                }
                if (next < count) {
                    f.X = next;
                } else {
                    --m_Sp;
                }
                n = alts[index];
                break;
            }
            case choice_greedy_atom: {
                const auto* quant = static_cast<const atom_quant_node*>(f.Node);
                const char* lowest = AsPos(f.X);
                const char* q = f.Pos - 1;
                if (Fast && quant->HasFollow) {
                    q = greedy_scan(quant, lowest, q, m_End);
                    if (!q) {
                        --m_Sp;
                        continue;
                    }
                }
                if (q == lowest) {
                    --m_Sp;
                } else {
                    f.Pos = q;
                }
                p = q;
                n = quant->Next;
                break;
            }
            case choice_lazy_atom: {
                const auto* quant = static_cast<const atom_quant_node*>(f.Node);
                const char* limit = AsPos(f.X);
                const char* q = f.Pos;
                if (!quant->AtomSet.test(byte_at(q))) {
                    --m_Sp;
                    continue;
                }
                ++q;
                if (Fast && quant->HasFollow) {
                    q = lazy_scan(quant, q, limit);
                    if (q == m_End ? !quant->FollowAtEnd : !quant->Follow.test(byte_at(q))) {
                        --m_Sp;
                        continue;
                    }
                }
                if (q == limit) {
                    --m_Sp;
                } else {
                    f.Pos = q;
                }
                p = q;
                n = quant->Next;
                break;
            }
            case choice_greedy_backref: {
                const auto* quant = static_cast<const atom_quant_node*>(f.Node);
                const group_record& record =
                    m_Records[static_cast<const backref_node*>(quant->Atom)->Internal];
                const auto length = static_cast<size_t>(record.End - record.Begin);
                const size_t count = f.X - 1;
                const char* q = f.Pos - length;
                if (count == quant->Lb) {
                    --m_Sp;
                } else {
                    f.Pos = q;
                    f.X = count;
                }
                p = q;
                n = quant->Next;
                break;
            }
            case choice_lazy_backref: {
                const auto* quant = static_cast<const atom_quant_node*>(f.Node);
                const auto* atom = static_cast<const backref_node*>(quant->Atom);
                const group_record& record = m_Records[atom->Internal];
                const auto length = static_cast<size_t>(record.End - record.Begin);
                const char* q = f.Pos;
                if (!CaptureRepeatsAt(record, atom->Kind == node_kind::backref_nocase, q, m_End)) {
                    --m_Sp;
                    continue;
                }
                const size_t count = f.X + 1;
                q += length;
                if (count >= quant->Ub) {
                    --m_Sp;
                } else {
                    f.Pos = q;
                    f.X = count;
                }
                p = q;
                n = quant->Next;
                break;
            }
            case choice_group_rest: {
                const auto* quant = static_cast<const group_quant_node*>(f.Node);
                group_record& record = m_Records[static_cast<size_t>(quant->Group->Number)];
                record.Count = f.X;
                p = f.Pos;
                --m_Sp;
                if (record.Count < quant->Lb) {
                    continue;
                }
                n = quant->Next;
                break;
            }
            case choice_group_iter: {
                const auto* quant = static_cast<const group_quant_node*>(f.Node);
                const auto number = static_cast<size_t>(quant->Group->Number);
                group_record& record = m_Records[number];
                record.Count = f.X;
                if (record.Count >= quant->Ub) {
                    --m_Sp;
                    continue;
                }
                // This frame turns into the undo record of the increment.
                p = f.Pos;
                f.Tag = undo_count | (static_cast<std::uint64_t>(number) << 8);
                ++record.Count;
                n = quant->Group;
                break;
            }
            case choice_simple_greedy:
            case choice_simple_lazy: {
                const auto* quant = static_cast<const group_quant_node*>(f.Node);
                const group_node* group = quant->Group;
                const char* q = nullptr;
                bool emptyCount = false;
                if (TagOf(f.Tag) == choice_simple_greedy) {
                    const char* lowest = AsPos(f.X);
                    q = f.Pos - 1;
                    if (Fast && quant->HasFollow) {
                        while (q != lowest && !quant->Follow.test(byte_at(q))) {
                            --q;
                        }
                        if (!quant->Follow.test(byte_at(q))) {
                            --m_Sp;
                            continue;
                        }
                    }
                    emptyCount = q == lowest && AuxOf(f.Tag) != 0;
                    if (q == lowest) {
                        --m_Sp;
                    } else {
                        f.Pos = q;
                    }
                } else {
                    const char* limit = AsPos(f.X);
                    q = f.Pos;
                    if (!quant->SimpleSet.test(byte_at(q))) {
                        --m_Sp;
                        continue;
                    }
                    ++q;
                    if (Fast && quant->HasFollow) {
                        while (q != limit && quant->LazySkip.test(byte_at(q))) {
                            ++q;
                        }
                        if (q == m_End || !quant->Follow.test(byte_at(q))) {
                            --m_Sp;
                            continue;
                        }
                    }
                    if (q == limit) {
                        --m_Sp;
                    } else {
                        f.Pos = q;
                    }
                }
                if (group->Capturing && !emptyCount) {
                    capture(group, q - 1, q);
                }
                p = q;
                n = quant->Next;
                break;
            }
            case memo_entry:
                // Every way on from this entry failed.
                m_FailFrom[static_cast<size_t>(AuxOf(f.Tag))] = f.Pos;
                --m_Sp;
                continue;
            case lb_retry:
                // The rest of the pattern failed after a positive look-behind: the frame becomes the
                // look-behind's barrier again, and the next start is tried.
                f.Tag = make_tag(barrier_lookbehind, barrier_aux(false));
                m_Barrier = m_Sp;
                m_End = f.Pos;
                goto fail_next_lookbehind_start;
            case barrier_lookbehind:
            case barrier_lb_pred:
            case barrier_cond_lookbehind:
                goto fail_next_lookbehind_start;
            case barrier_lookahead: {
                const auto* group = static_cast<const group_node*>(f.Node);
                m_Barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
                --m_Sp;
                if (group->Positive) {
                    continue;
                }
                p = f.Pos;
                n = group->Next;
                break;
            }
            case barrier_cond_lookahead: {
                const auto* conditional = static_cast<const group_node*>(f.Node);
                m_Barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
                --m_Sp;
                p = f.Pos;
                n = Branch(conditional, !conditional->Condition->Positive);
                break;
            }
            default: // barrier_independent, barrier_recurse: the body failed
                m_Barrier = static_cast<size_t>(AuxOf(f.Tag) >> 1);
                --m_Sp;
                continue;
            }
            break; // resume at n, p

        fail_next_lookbehind_start : {
            // The top frame is a look-behind barrier whose body failed from its current start (or, for a
            // fresh one, was not tried yet): advance to the next start of the window, or give up.
            frame& barrier = m_Stack[m_Sp - 1];
            const std::uint8_t tag = TagOf(barrier.Tag);
            const bool fastBody = (AuxOf(barrier.Tag) & 1) != 0;
            const group_node* group = static_cast<const group_node*>(barrier.Node);
            const group_node* conditional = nullptr;
            if (tag == barrier_cond_lookbehind) {
                conditional = group;
                group = group->Condition;
            }
            const width_range width = fastBody ? group->FastInner : group->Inner;
            const char* start = AsPos(barrier.X);
            const char* lastStart = barrier.Pos - width.Min;
            if (start <= lastStart) {
                barrier.X = AsValue(start + 1);
                if (fastBody || !cannot_begin(*group, start, m_End)) {
                    const node* first = alternatives<Fast>(group, start, fastBody);
                    if (first) {
                        n = first;
                        p = start;
                        break;
                    }
                }
                continue;
            }
            // Window exhausted.
            const frame exhausted = barrier;
            m_Barrier = static_cast<size_t>(AuxOf(exhausted.Tag) >> 1);
            --m_Sp;
            m_End = barrier_end();
            if (conditional) {
                p = exhausted.Pos;
                n = Branch(conditional, !group->Positive);
                break;
            }
            if (group->Positive) {
                continue;
            }
            p = exhausted.Pos;
            n = group->Next;
            break;
        }
        }
        continue;
    }
}

template bool matcher::run<true>(const char* Start);
template bool matcher::run<false>(const char* Start);

} // namespace detail
} // namespace regex
