// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the matcher, which runs a compiled node tree (Nodes.h) over a subject.
//
// Design. The matcher is split by stage, one file each: Search.cpp is the search driver (the loop over
// start positions, with the prefix, first-byte and required-byte skips, and patterns that are one literal);
// Scanners.h/.cpp hold the byte scanners (SSE2, AVX2); Lookarounds.h/.cpp run the simple look-arounds
// without the machine; Machine.cpp holds the backtracking machine, run().
//
// The machine keeps its choice points and the undo records of everything it changed (captures, group
// repetition counters) on one explicit stack of fixed-size frames. Failing pops that stack: undo records are
// applied, and the first choice point found resumes. Look-arounds, atomic groups and recursion run their
// body above a barrier frame; when the body succeeds, the choice points above the barrier are dropped and
// its undo records kept, so the body is never re-entered but its captures still unwind on a later failure.
// The result is exactly that of the recursive description (every node calls the rest of the pattern and
// undoes its changes when that fails), without using the call stack.
#pragma once

#include "regex/Nodes.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace regex {
namespace detail {

/// State of one internal group during a search. Plain data: matcher::search() sets every field.
struct group_record {
    const char* Begin;
    const char* End;
    const char* Tentative; ///< where the group was last entered
    const char* Prev;      ///< repetition: start of the previous iteration (null: none)
    const char* Cur;       ///< repetition: start of the current iteration
    size_t Count;          ///< repetition: iterations so far
    bool Matched;
};

enum class search_outcome { matched, failed, limit };

/// An array that lives inside its owner up to N elements and moves to the heap beyond, so that a search
/// over a short subject allocates nothing. Grows only; the elements keep their values when it grows.
template <class T, size_t N> class small_array {
  public:
    small_array() = default;
    small_array(const small_array&) = delete;
    small_array& operator=(const small_array&) = delete;

    T& operator[](size_t Index) { return m_Data[Index]; }
    const T& operator[](size_t Index) const { return m_Data[Index]; }
    T* data() { return m_Data; }
    const T* data() const { return m_Data; }
    size_t size() const { return m_Size; }

    void resize(size_t Size)
    {
        if (Size <= m_Size) {
            return;
        }
        if (Size > N) {
            std::vector<T> heap(Size);
            std::copy(m_Data, m_Data + m_Size, heap.begin());
            m_Heap.swap(heap);
            m_Data = m_Heap.data();
        }
        m_Size = Size;
    }

  private:
    T m_Inline[N];
    std::vector<T> m_Heap;
    T* m_Data = m_Inline;
    size_t m_Size = 0;
};

/// Runs searches of one compiled pattern over one subject. Not thread-safe; cheap to construct.
class matcher {
  public:
    /// Begin..End is the whole subject: ^, \b and look-behind never look before Begin.
    /// NulTerminated: the subject was a C string; FROM_RIGHT is then ignored.
    matcher(const compiled_pattern& Pattern, const char* Begin, const char* End, bool NulTerminated,
            const match_options& Options);

    /// One search for the leftmost match starting at or after From (or, with FROM_RIGHT, the rightmost
    /// start). RejectEmpty: a match that ends at From does not count. On success records() holds the
    /// match, one record per internal group; otherwise every record is unmatched.
    search_outcome search(const char* From, bool RejectEmpty);

    /// One record per internal group.
    const group_record* records() const { return m_Records.data(); }

  private:
    struct frame {
        std::uint64_t Tag; // low 8 bits: frame kind; the rest: an auxiliary number
        const void* Node;
        const char* Pos;
        std::uintptr_t X;
    };
    struct limit_exceeded {};

    search_outcome search_literal(const char* From);
    template <bool Fast> bool search_starts(const char* From, const char* Last);
    template <bool Fast> bool attempt(const char* Start);
    template <bool Fast> bool run(const char* Start);
    template <bool Fast> const node* alternatives(const group_node* Group, const char* Pos, bool FastAlts);
    const char* find_prefix(const char* From, const char* Last) const;
    const char* find_first(const char* From, const char* Last) const;
    bool run_simple(const node* Head, const group_node* Owner, const char* Pos, const char* End) const;
    bool simple_lookahead(const group_node* Group, const char* Pos) const;
    bool simple_lookbehind(const group_node* Group, const char* Pos) const;
    const char* barrier_end() const;
    bool known_to_fail(size_t Slot, const byte_set& Members, node_kind Atom, const char* Pos);
    void cut(size_t Barrier, bool KeepBarrier);
    void restore_repetition_state(size_t Barrier);
    void undo(std::uint8_t Tag, const frame& F);
    void capture(const group_node* Group, const char* Begin, const char* End);
    void reset_records();

    static std::uint64_t make_tag(std::uint8_t Tag, std::uint64_t Aux) { return Tag | (Aux << 8); }
    // The auxiliary number of a barrier frame: the link to the innermost barrier now, and whether its body
    // runs the fast alternatives (look-behind predicates).
    std::uint64_t barrier_aux(bool FastAlts) const
    {
        return (static_cast<std::uint64_t>(m_Barrier) << 1) | (FastAlts ? 1 : 0);
    }

    frame& push(std::uint8_t Tag, std::uint64_t Aux, const void* Node, const char* Pos, std::uintptr_t X)
    {
        if (m_Sp == m_Stack.size()) {
            grow();
        }
        frame& f = m_Stack[m_Sp++];
        f.Tag = make_tag(Tag, Aux);
        f.Node = Node;
        f.Pos = Pos;
        f.X = X;
        return f;
    }
    // Pushes a barrier frame linked to the enclosing barrier and makes it the innermost one.
    void push_barrier(std::uint8_t Tag, bool FastAlts, const void* Node, const char* Pos, std::uintptr_t X)
    {
        push(Tag, barrier_aux(FastAlts), Node, Pos, X);
        m_Barrier = m_Sp;
    }
    void grow();

    const compiled_pattern& m_Pattern;
    const char* const m_Begin;
    const char* const m_SubjectEnd;
    const char* m_End; // end seen by the nodes: the subject end, or p inside a look-behind body
    const bool m_NulTerminated;
    const match_options m_Options;
    std::size_t m_Steps = 0;
    std::size_t m_Backtracks = 0; // what is left of the search's backtracking budget
    bool m_RejectEmpty = false;
    const char* m_RejectAt = nullptr;
    small_array<group_record, 16> m_Records;
    small_array<frame, 48> m_Stack;
    size_t m_Sp = 0;
    size_t m_Barrier = 0; // index + 1 of the innermost barrier frame; 0: none
    // Failure memo of the repetitions with a MemoSlot (Compiler.cpp, assign_memo_slots): an entry at
    // m_FailFrom[slot] failed, and so does one later in the same run of matching bytes. Null: none known.
    std::array<const char*, kMaxMemoSlots> m_FailFrom;
};

} // namespace detail
} // namespace regex
