// The seeded random source of the tests and the benchmarks: splitmix64, the same sequence on every
// machine and standard library, so a failure or a benchmark's page reproduces anywhere. Header only: the
// engine's tests and the benchmarks use it without the tests' support library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace TestSupport {

class TSeededRandom {
  public:
    explicit TSeededRandom(std::uint64_t Seed) : m_State(Seed) {}

    std::uint64_t Next()
    {
        std::uint64_t z = (m_State += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    /// A number in [0, Bound); Bound must not be 0.
    unsigned Below(unsigned Bound) { return static_cast<unsigned>(Next() % Bound); }
    /// A number in [Low, High].
    unsigned Between(unsigned Low, unsigned High) { return Low + Below(High - Low + 1); }
    /// True with the chance Chance in 100.
    bool Percent(unsigned Chance) { return Below(100) < Chance; }
    /// One byte of From, which must not be empty.
    char Pick(const std::string& From) { return From[Below(static_cast<unsigned>(From.size()))]; }
    /// One of Items.
    template <std::size_t N> const char* Pick(const char* const (&Items)[N])
    {
        return Items[Below(static_cast<unsigned>(N))];
    }

  private:
    std::uint64_t m_State;
};

} // namespace TestSupport
