// Internal header of the regular-expression engine: the compiled form of a pattern. Nothing outside
// src/regex includes it, and it may change at any time; Regex.h is the stable interface.
//
// Design. A pattern passes through stages that each live in a file of their own:
//   Syntax     turns pattern characters into tokens (perl_reader);
//   Charset    builds bracket expressions and the class escapes into 256-bit byte maps;
//   Parser     parses the tokens into a tree of nodes (declared here) and numbers the groups;
//   Analysis   first-byte sets of groups, widths, and the visible-to-internal group numbers;
//   Prefix     the leading literal's scan probes and skip table;
//   FastPaths  marks what lets a search skip work (filters, scans, memos, simple look-arounds);
//   Compiler   runs those stages in order and decides the anchoring;
//   Matcher    runs the tree over a subject: Search (the loop over start positions), Scanners (SIMD byte
//              scans), Lookarounds (simple look-arounds without the machine), Machine (the backtracking
//              machine);
//   Results    turns the raw records into what the caller sees, repeats searches for GLOBAL and parses
//              the substitution text.
// The tree is a graph of nodes linked by successor pointers: every node of a sequence points to the next,
// each alternative of a group ends in an end_group node whose successor is the group's own successor, and
// the whole pattern ends in end_of_pattern. So "match this node, then the rest of the pattern" is simply
// "follow Next". The matcher walks this graph with an explicit stack of choice points and undo records
// instead of the call stack, so neither a deeply nested pattern nor a group repeated a million times can
// overflow the machine stack. Parsing and the compile-time walks do recurse, bounded by kMaxNesting.
//
// All nodes of a pattern live in one arena owned by the compiled pattern and are released with it; nodes
// are trivially destructible and never freed one by one. Nothing here changes once compilation ends, so
// one compiled pattern may serve any number of searches.
#pragma once

#include "regex/Charset.h"
#include "regex/Regex.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace regex {
namespace detail {

/// All ones: an unbounded width or repeat count.
constexpr size_t kUnbounded = unbounded_width;

/// Groups may nest this deep; deeper patterns are refused with kTooDeepMessage, so that the recursive
/// compile-time walks stay far from the end of the machine stack.
constexpr size_t kMaxNesting = 1000;
extern const char kTooDeepMessage[];

/// At most this many repetitions of a pattern keep a failure memo during a search.
constexpr size_t kMaxMemoSlots = 8;

/// Width range of a node or pattern; Max == kUnbounded means no upper bound.
struct width_range {
    size_t Min = kUnbounded;
    size_t Max = kUnbounded;
};

/// A + B, or kUnbounded when either is or the sum does not fit.
inline size_t saturating_add(size_t A, size_t B)
{
    return (A == kUnbounded || B == kUnbounded || A > kUnbounded - B) ? kUnbounded : A + B;
}

/// Owns the memory of every node of one pattern. Blocks are never freed before the arena.
class arena {
  public:
    arena() = default;
    arena(const arena&) = delete;
    arena& operator=(const arena&) = delete;

    /// Constructs a T in the arena. T must be trivially destructible: the arena never runs destructors.
    template <class T, class... Args> T* make(Args&&... Arguments)
    {
        static_assert(std::is_trivially_destructible<T>::value, "arena objects are never destroyed");
        return ::new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(Arguments)...);
    }

    /// Value-initialised array of Count T's.
    template <class T> T* make_array(size_t Count)
    {
        static_assert(std::is_trivially_destructible<T>::value, "arena objects are never destroyed");
        if (Count == 0) {
            return nullptr;
        }
        T* items = static_cast<T*>(allocate(sizeof(T) * Count, alignof(T)));
        for (size_t i = 0; i < Count; ++i) {
            ::new (items + i) T();
        }
        return items;
    }

    void* allocate(size_t Size, size_t Align);

  private:
    static constexpr size_t kBlockSize = 4096;
    std::vector<std::unique_ptr<unsigned char[]>> m_Blocks;
    unsigned char* m_Cur = nullptr;
    size_t m_Left = 0;
};

enum class node_kind : std::uint8_t {
    // atoms: each consumes one byte or a fixed run
    chr,             ///< one byte
    chr_nocase,      ///< one byte in either case
    literal,         ///< a run of bytes
    literal_nocase,  ///< a run of bytes, each in either case
    set,             ///< a byte in a byte map (bracket expression or class escape)
    any_but_newline, ///< . without SINGLELINE
    any,             ///< . with SINGLELINE
    // assertions: consume nothing
    assert_bos,        ///< ^ without MULTILINE, \A
    assert_bol,        ///< ^ with MULTILINE
    assert_peos,       ///< $ without MULTILINE, \Z
    assert_eol,        ///< $ with MULTILINE
    assert_eos,        ///< \z
    word_boundary,     ///< \b
    not_word_boundary, ///< \B
    // back-references
    backref,
    backref_nocase,
    // groups (group_node)
    group,        ///< capturing or invisible (non-capturing, flag group)
    independent,  ///< (?>...)
    lookahead,    ///< (?=...) (?!...)
    lookbehind,   ///< (?<=...) (?<!...)
    cond_backref, ///< (?(N)yes|no)
    cond_assert,  ///< (?(?=...)yes|no) and the other look-arounds
    recurse,      ///< (?R)
    // quantifiers
    max_atom,  ///< greedy, over chr/chr_nocase/set/any/backref
    min_atom,  ///< lazy, same atoms
    max_group, ///< greedy, over a group
    min_group, ///< lazy, over a group
    end_quant, ///< end of one iteration of a quantified group
    // ends
    end_group,      ///< last node of every alternative
    end_of_pattern, ///< after the top group: success
};

const char* node_kind_name(node_kind Kind);

struct node {
    explicit node(node_kind Kind_) : Kind(Kind_) {}
    node_kind Kind;
    node* Next = nullptr; ///< successor in the sequence
    width_range Width;    ///< of this node alone
};

/// chr and chr_nocase; for chr both bytes are the same.
struct char_node : node {
    char_node(node_kind Kind_, unsigned char Lower_, unsigned char Upper_)
        : node(Kind_), Lower(Lower_), Upper(Upper_)
    {
    }
    unsigned char Lower;
    unsigned char Upper;
};

/// literal and literal_nocase; for literal both copies are the same array.
struct literal_node : node {
    using node::node;
    const unsigned char* Lower = nullptr;
    const unsigned char* Upper = nullptr;
    size_t Length = 0;
};

struct set_node : node {
    using node::node;
    byte_set Set;
};

struct backref_node : node {
    using node::node;
    size_t Visible = 0;  ///< the number written in the pattern
    size_t Internal = 0; ///< after conversion over invisible groups
};

/// First-byte filter of one alternative, used by the fast paths.
struct alt_info {
    bool HasFirst = false;
    byte_set First;
};

struct group_node : node {
    using node::node;
    int Number = -1;           ///< internal group number; -1 for look-around bodies
    bool Capturing = false;    ///< a visible (reported) group
    bool LogTentative = false; ///< may be entered again before an earlier entry ends (repetition, recursion)
    bool Positive = true;      ///< look-arounds: (?= (?<= rather than (?! (?<!
    bool HasFirst = false;     ///< First holds every byte a match can begin with
    byte_set First;
    size_t AltCount = 0;
    node** Alts = nullptr;  ///< first node of each alternative
    size_t NestedFirst = 0; ///< internal numbers created inside the group: [NestedFirst, +NestedCount)
    size_t NestedCount = 0;
    width_range Inner; ///< look-behind: width of the body

    // Conditionals.
    group_node* Condition = nullptr; ///< cond_assert: the look-around
    size_t CondVisible = 0;          ///< cond_backref: group number as written
    size_t CondInternal = 0;         ///< cond_backref: converted

    // Fast paths, filled by the compiler and used only when fast paths are on.
    alt_info* AltInfo = nullptr; ///< per alternative
    bool AltFilter = false;      ///< some alternative has a first-byte filter
    bool Predicate = false;      ///< look-around whose body captures nothing: only "does it match" counts
    bool Simple = false;     ///< look-around whose every (fast) alternative is a fixed run of simple nodes
    size_t FastAltCount = 0; ///< look-behind: alternatives without their leading nullable part
    node** FastAlts = nullptr;
    alt_info* FastAltInfo = nullptr;
    width_range FastInner;
    char FirstFastState = 0; ///< 0: not computed yet, 1: FirstFast holds every first byte, 2: unknown
    byte_set FirstFast;
};

struct end_group_node : node {
    using node::node;
    group_node* Group = nullptr;
};

struct atom_quant_node : node {
    using node::node;
    node* Atom = nullptr;
    size_t Lb = 0;
    size_t Ub = kUnbounded;
    byte_set AtomSet;       ///< the bytes the atom matches (not for back-references)
    bool HasFollow = false; ///< fast path: the rest of the pattern can only begin with a byte in Follow
    byte_set Follow;
    byte_set LazySkip;             ///< fast path: AtomSet without Follow, the bytes a lazy loop steps over
    int FollowSingle = -1;         ///< fast path: the only byte of Follow, when the atom is . (memchr)
    bool FollowAtEnd = false;      ///< fast path: the rest may also begin at the end of the subject
    int GreedyStops[2] = {-1, -1}; ///< fast path: the one or two bytes outside AtomSet (e.g. [^>]), or -1
    int LazyStops[2] = {-1, -1};   ///< fast path: the one or two bytes outside LazySkip, or -1
    int MemoSlot = -1;             ///< fast path: index of the repetition's failure memo, or -1
};

struct end_quant_node;

struct group_quant_node : node {
    using node::node;
    group_node* Group = nullptr;
    size_t Lb = 0;
    size_t Ub = kUnbounded;
    end_quant_node* End = nullptr;
    bool Simple = false; ///< fast path: every alternative is one single-byte atom, SimpleSet their union
    byte_set SimpleSet;
    bool HasFollow = false;
    byte_set Follow;
    byte_set LazySkip;
    int MemoSlot = -1; ///< fast path (Simple only): index of the repetition's failure memo, or -1
};

struct end_quant_node : node {
    using node::node;
    group_quant_node* Quant = nullptr;
};

inline bool is_group_kind(node_kind Kind)
{
    return Kind >= node_kind::group && Kind <= node_kind::cond_assert;
}

inline bool is_assertion_kind(node_kind Kind)
{
    return (Kind >= node_kind::assert_bos && Kind <= node_kind::not_word_boundary) ||
           Kind == node_kind::lookahead || Kind == node_kind::lookbehind;
}

/// A chr node for Ch, or chr_nocase when Flags hold NOCASE and Ch has two cases; allocated in Arena.
node* make_char(arena& Arena, unsigned char Ch, unsigned Flags);
/// A literal node for Text (a chr node when Text is one byte), literal_nocase when Flags hold NOCASE and a
/// byte of Text has two cases; allocated in Arena.
node* make_literal(arena& Arena, const std::string& Text, unsigned Flags);

/// Everything compilation produces. Immutable after compile_pattern returns.
struct compiled_pattern {
    arena Arena;
    unsigned Flags = 0; ///< construction flags (FROM_RIGHT removed for ^-anchored patterns)
    unsigned Mode = 0;
    bool TryAllStarts = true;
    bool RecursiveAllowed = true;
    size_t GroupCounter = 0; ///< number of internal groups, group 0 included
    size_t VisibleCount = 0; ///< capturing groups, group 0 included
    width_range Width;
    std::string Text;
    std::string SubstText;
    std::vector<size_t> Invisible; ///< ascending internal numbers of invisible groups
    std::vector<subst_item> Subst;
    std::vector<size_t> VisibleToInternal; ///< internal number of each visible group
    group_node* Top = nullptr;
    node* End = nullptr;             ///< end_of_pattern
    std::vector<group_node*> Groups; ///< by internal number; null where a group made no node

    bool HasPrefix = false;
    std::array<unsigned char, 256> Skip{}; ///< Horspool shifts of the leading literal
    std::string PrefixLower;               ///< the leading literal (both cases under NOCASE)
    std::string PrefixUpper;
    std::array<size_t, 2> PrefixProbes{}; ///< two positions of the literal whose bytes a scan tests first

    // Fast-path facts.
    bool HasRecursion = false;
    bool FirstStartOnly = false; ///< a failure at the first start position means no match at any later one
    bool HasTopFirst = false;    ///< every match begins with a byte of TopFirst
    byte_set TopFirst;
    int TopFirstSingle = -1;   ///< the only byte of TopFirst, or -1
    int RequiredByte = -1;     ///< a byte every match contains (the last one the pattern demands), or -1
    size_t MemoSlots = 0;      ///< repetitions with a failure memo (MemoSlot of the quantifier nodes)
    bool WholeLiteral = false; ///< the pattern is Literal, after ^ when LiteralAnchored, and nothing else
    bool LiteralAnchored = false;
    std::string Literal;
    std::array<size_t, 2> LiteralProbes{};
};

/// The node tree as text, one node per line, with widths and first-byte sets (for tests and debugging).
std::string dump_pattern(const compiled_pattern& Pattern);

} // namespace detail
} // namespace regex
