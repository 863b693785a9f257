#include "CaptureCout.h"

#include <iostream>

namespace TestSupport {

TCaptureCout::TCaptureCout() : m_Old(std::cout.rdbuf(m_Buffer.rdbuf())) {}

TCaptureCout::~TCaptureCout()
{
    std::cout.rdbuf(m_Old);
}

} // namespace TestSupport
