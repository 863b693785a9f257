#include "regex/Prefix.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace regex {
namespace detail {

namespace {

// How often a byte turns up in the pages the program reads: markup and blanks most, then windows-1251
// letters and frequent Latin letters. Only the order matters.
int Commonness(unsigned char Byte)
{
    if (std::strchr(" <>/\"='\n\t", Byte) && Byte != 0) {
        return 10;
    }
    if (Byte >= 0xC0) {
        return 9;
    }
    if (std::strchr("etaoinsrhldc", Byte) && Byte != 0) {
        return 8;
    }
    if (Byte >= 'a' && Byte <= 'z') {
        return 6;
    }
    if ((Byte >= '0' && Byte <= '9') || std::strchr(".-_:;&", Byte)) {
        return 5;
    }
    return Byte >= 'A' && Byte <= 'Z' ? 3 : 2;
}

} // namespace

// The two positions of Needle (at least two bytes) whose bytes are least common: a scan for the needle
// tests those first, so that few places need a full comparison.
std::array<size_t, 2> choose_probes(const std::string& Needle)
{
    std::array<size_t, 2> probes{0, 1};
    auto rank = [&Needle](size_t I) { return Commonness(static_cast<unsigned char>(Needle[I])); };
    if (rank(1) < rank(0)) {
        std::swap(probes[0], probes[1]);
    }
    for (size_t i = 2; i < Needle.size(); ++i) {
        if (rank(i) < rank(probes[0])) {
            probes[1] = probes[0];
            probes[0] = i;
        } else if (rank(i) < rank(probes[1])) {
            probes[1] = i;
        }
    }
    return probes;
}

void build_prefix(compiled_pattern& Pattern)
{
    const group_node* top = Pattern.Top;
    if (top->AltCount != 1) {
        return;
    }
    const node* cur = top->Alts[0];
    while (is_assertion_kind(cur->Kind)) {
        cur = cur->Next;
    }
    if (cur->Kind != node_kind::literal && cur->Kind != node_kind::literal_nocase) {
        return;
    }
    const auto* literal = static_cast<const literal_node*>(cur);
    const size_t m = std::min<size_t>(literal->Length, 255);
    Pattern.HasPrefix = true;
    Pattern.PrefixLower.assign(reinterpret_cast<const char*>(literal->Lower), m);
    Pattern.PrefixUpper.assign(reinterpret_cast<const char*>(literal->Upper), m);
    if (m >= 2) {
        Pattern.PrefixProbes = choose_probes(Pattern.PrefixLower);
    }
    Pattern.Skip.fill(static_cast<unsigned char>(m));
    for (size_t k = 0; k + 1 < m; ++k) {
        Pattern.Skip[literal->Lower[k]] = static_cast<unsigned char>(m - 1 - k);
    }
    if (literal->Kind == node_kind::literal_nocase) {
        for (size_t k = 0; k + 1 < m; ++k) {
            unsigned char& entry = Pattern.Skip[literal->Upper[k]];
            entry = std::min(entry, static_cast<unsigned char>(m - 1 - k));
        }
    }
}

} // namespace detail
} // namespace regex
