// Captures what is written to std::cout while the object lives. The stream object stays std::cout, so the
// console conversion applies as it would on a terminal.
#pragma once

#include <sstream>
#include <streambuf>
#include <string>

namespace TestSupport {

class TCaptureCout {
  public:
    /// Points std::cout at a buffer of its own; the destructor gives std::cout its buffer back. Not
    /// copyable, as the buffer is a stream.
    TCaptureCout();
    ~TCaptureCout();

    /// Everything written to std::cout so far.
    std::string Text() const { return m_Buffer.str(); }

  private:
    std::ostringstream m_Buffer;
    std::streambuf* m_Old;
};

} // namespace TestSupport
