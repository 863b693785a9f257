// Captures what is written to std::cout (or std::cerr) while the object lives. The stream object stays the
// same, so the console conversion applies as it would on a terminal.
#pragma once

#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

namespace TestSupport {

class TCaptureCout {
  public:
    /// Points Stream (std::cout or std::cerr) at a buffer of its own; the destructor gives Stream its
    /// buffer back. Not copyable, as the buffer is a stream.
    explicit TCaptureCout(std::ostream& Stream = std::cout);
    ~TCaptureCout();

    /// Everything written to std::cout so far.
    std::string Text() const { return m_Buffer.str(); }

  private:
    std::ostream& m_Stream;
    std::ostringstream m_Buffer;
    std::streambuf* m_Old;
};

} // namespace TestSupport
