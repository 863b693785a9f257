#include "regex/Scanners.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace regex {
namespace detail {

namespace {

// Scanners for find_literal: the first start in [Cur, LastStart] where Needle's bytes at both probe
// positions fit and the whole needle compares equal, looking at a block of starts at a time; Cur when
// fewer than a block of starts is left (the caller finishes), null when no start in the blocks fits.
#if defined(__x86_64__) && defined(__GNUC__)
#define SKERROW_REGEX_AVX2 1
__attribute__((target("avx2"))) const char* ScanBlocksAvx2(const char*& Cur, const char* LastStart,
                                                           const char* Needle, size_t M, size_t A, size_t B)
{
    const __m256i atA = _mm256_set1_epi8(Needle[A]);
    const __m256i atB = _mm256_set1_epi8(Needle[B]);
    while (LastStart - Cur >= 31) {
        const __m256i blockA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Cur + A));
        const __m256i blockB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Cur + B));
        auto mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(blockA, atA), _mm256_cmpeq_epi8(blockB, atB))));
        while (mask) {
            const char* candidate = Cur + __builtin_ctz(mask);
            if (same_bytes(candidate, Needle, M)) {
                return candidate;
            }
            mask &= mask - 1;
        }
        Cur += 32;
    }
    return nullptr;
}

bool HasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

} // namespace

const char* find_literal(const char* From, const char* LastStart, const char* Needle, size_t M,
                         const std::array<size_t, 2>& Probes)
{
    const size_t a = Probes[0];
    const size_t b = Probes[1];
    const char* cur = From;
    // A search is often started where the literal stands (a tag found by other means).
    if (cur <= LastStart && same_bytes(cur, Needle, M)) {
        return cur;
    }
#if defined(SKERROW_REGEX_AVX2)
    if (LastStart - cur >= 31 && HasAvx2()) {
        if (const char* found = ScanBlocksAvx2(cur, LastStart, Needle, M, a, b)) {
            return found;
        }
    }
#endif
#if defined(__SSE2__)
    const __m128i atA = _mm_set1_epi8(Needle[a]);
    const __m128i atB = _mm_set1_epi8(Needle[b]);
    while (LastStart - cur >= 15) {
        const __m128i blockA = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + a));
        const __m128i blockB = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + b));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(blockA, atA), _mm_cmpeq_epi8(blockB, atB))));
        while (mask) {
            const char* candidate = cur + __builtin_ctz(mask);
            if (same_bytes(candidate, Needle, M)) {
                return candidate;
            }
            mask &= mask - 1;
        }
        cur += 16;
    }
#endif
    while (cur <= LastStart) {
        const void* hit = std::memchr(cur + a, Needle[a], static_cast<size_t>(LastStart - cur) + 1);
        if (!hit) {
            return nullptr;
        }
        cur = static_cast<const char*>(hit) - a;
        if (same_bytes(cur, Needle, M)) {
            return cur;
        }
        ++cur;
    }
    return nullptr;
}

} // namespace detail
} // namespace regex
