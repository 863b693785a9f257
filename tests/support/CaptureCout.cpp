#include "CaptureCout.h"

#include <iostream>

namespace TestSupport {

TCaptureCout::TCaptureCout(std::ostream& Stream) : m_Stream(Stream), m_Old(Stream.rdbuf(m_Buffer.rdbuf())) {}

TCaptureCout::~TCaptureCout()
{
    m_Stream.rdbuf(m_Old);
}

} // namespace TestSupport
