// Small additions to the standard library.
#pragma once

#include <cstddef>
#include <limits>

#include "libs/Exceptions.h"

namespace BrintLib {

/// Counts the live objects of the classes that derive from CObjectCount<T>, one counter per T.
/// The driver checks at the end of a run that every task was deleted.
template <typename T> class CObjectCount {
  public:
    static size_t Count() { return m_N; }

  protected:
    CObjectCount()
    {
        FATAL_CHECK(m_N < std::numeric_limits<size_t>::max());
        ++m_N;
    }
    CObjectCount(const CObjectCount&) : CObjectCount() {}
    CObjectCount& operator=(const CObjectCount&) { return *this; }
    ~CObjectCount()
    {
        FATAL_CHECK(m_N > 0);
        --m_N;
    }

  private:
    static inline size_t m_N = 0;
};

} // namespace BrintLib
