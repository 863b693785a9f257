// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the byte scanners. They find where a repetition over single bytes must stop or may give back
// to, and where a literal occurs, 16 bytes at a time with SSE2 (32 with AVX2 where the processor has it).
// The repetition scanners are inline: the machine calls them inside its loops.
#pragma once

#include "regex/MatchSupport.h"
#include "regex/Nodes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace regex {
namespace detail {

// Whether the N bytes at A and at B are equal. The literals of page patterns are a few bytes long: up to
// eight are compared with two overlapping loads each, without a library call.
inline bool same_bytes(const void* A, const void* B, size_t N)
{
    const auto* a = static_cast<const unsigned char*>(A);
    const auto* b = static_cast<const unsigned char*>(B);
    if (N >= 4 && N <= 8) {
        std::uint32_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 4);
        std::memcpy(&b0, b, 4);
        std::memcpy(&a1, a + N - 4, 4);
        std::memcpy(&b1, b + N - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (N >= 2 && N < 4) {
        std::uint16_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 2);
        std::memcpy(&b0, b, 2);
        std::memcpy(&a1, a + N - 2, 2);
        std::memcpy(&b1, b + N - 2, 2);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (N == 1) {
        return *a == *b;
    }
    return std::memcmp(A, B, N) == 0;
}

// The first position in [Pos, Limit) whose byte is A or B, or Limit.
inline const char* find_stop(const char* Pos, const char* Limit, int A, int B)
{
    const auto a = static_cast<char>(A);
    const auto b = static_cast<char>(B);
#if defined(__SSE2__)
    const __m128i atA = _mm_set1_epi8(a);
    const __m128i atB = _mm_set1_epi8(b);
    while (Limit - Pos >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Pos));
        const auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, atA), _mm_cmpeq_epi8(block, atB))));
        if (mask) {
            return Pos + __builtin_ctz(mask);
        }
        Pos += 16;
    }
#endif
    while (Pos != Limit && *Pos != a && *Pos != b) {
        ++Pos;
    }
    return Pos;
}

// Fast path of a lazy repetition over single bytes: from Pos on, the first position before Limit where the
// rest of the pattern may begin or the atom stops matching (Limit when there is none).
inline const char* lazy_scan(const atom_quant_node* Quant, const char* Pos, const char* Limit)
{
    if (Quant->FollowSingle >= 0) {
        const void* hit = std::memchr(Pos, Quant->FollowSingle, static_cast<size_t>(Limit - Pos));
        const char* stop = hit ? static_cast<const char*>(hit) : Limit;
        if (Quant->Atom->Kind == node_kind::any_but_newline) {
            const void* newline = std::memchr(Pos, '\n', static_cast<size_t>(stop - Pos));
            return newline ? static_cast<const char*>(newline) : stop;
        }
        return stop;
    }
    if (Quant->LazyStops[0] >= 0) {
        return find_stop(Pos, Limit, Quant->LazyStops[0], Quant->LazyStops[1]);
    }
    while (Pos != Limit && Quant->LazySkip.test(byte_at(Pos))) {
        ++Pos;
    }
    return Pos;
}

// Fast path of a greedy repetition over single bytes giving back: the last position in [Lowest, Pos] where
// the rest of the pattern may begin (Pos == End never), or null.
inline const char* greedy_scan(const atom_quant_node* Quant, const char* Lowest, const char* Pos,
                               const char* End)
{
    if (Pos == End) {
        if (Quant->FollowAtEnd) {
            return Pos;
        }
        if (Pos == Lowest) {
            return nullptr;
        }
        --Pos;
    }
    if (Quant->FollowSingle >= 0) {
        return static_cast<const char*>(
            memrchr(Lowest, Quant->FollowSingle, static_cast<size_t>(Pos - Lowest) + 1));
    }
    while (!Quant->Follow.test(byte_at(Pos))) {
        if (Pos == Lowest) {
            return nullptr;
        }
        --Pos;
    }
    return Pos;
}

/// The first occurrence of Needle (M >= 2 bytes) that starts in [From, LastStart], or null; the bytes up to
/// LastStart + M must be readable. Probes: two positions of the needle with uncommon bytes
/// (choose_probes); 16 or 32 starts at a time are tested for those two bytes before any full comparison.
const char* find_literal(const char* From, const char* LastStart, const char* Needle, size_t M,
                         const std::array<size_t, 2>& Probes);

} // namespace detail
} // namespace regex
