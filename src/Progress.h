// The progress line: while a run goes on and standard error is a terminal, one status line on standard
// error says how far the run is (tasks done of those known, pages, pictures, bytes, rate, and which host
// has kept silent for a while). It is redrawn at most 10 times a second and cleared before any line is
// written to standard output, so the console reads as without it; standard output's bytes are unchanged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <streambuf>
#include <string>
#include <utility>

struct TActivity;

/// The counts the line shows.
struct TProgressCounts {
    size_t Done = 0;  ///< tasks whose turn has ended
    size_t Known = 0; ///< tasks done, running and queued
    size_t Pages = 0;
    size_t Pictures = 0;
};

/// The progress line of one run. Does nothing at all when standard error is not a terminal.
class TProgressLine {
  public:
    TProgressLine();
    /// Clears the line; standard output as before.
    ~TProgressLine();
    TProgressLine(const TProgressLine&) = delete;
    TProgressLine& operator=(const TProgressLine&) = delete;

    bool Enabled() const { return m_Enabled; }
    /// New counts; redraws when the last drawing is 0.1 s old.
    void Update(const TProgressCounts& Counts);
    /// New transfer activity; redraws when the last drawing is 0.1 s old.
    void Update(const TActivity& Activity);
    /// Removes the line from the screen, if it is shown.
    void Clear();

    /// The line's text (windows-1251) for the given state: the counts, the bytes, the rate (RecentBytes
    /// received in the Recent time before now; none while Recent is zero), and "ждём HOST N с" when
    /// SilentHost has been silent 5 s or more.
    static std::string Text(const TProgressCounts& Counts, uint64_t Bytes, uint64_t RecentBytes,
                            std::chrono::milliseconds Recent, const std::string& SilentHost,
                            std::chrono::seconds Silent);

  private:
    /// Standard output's buffer while the line lives: clears the line before any byte passes.
    class TClearingBuffer : public std::streambuf {
      public:
        TClearingBuffer(std::streambuf& Target, TProgressLine& Line) : m_Target(Target), m_Line(Line) {}

      protected:
        int_type overflow(int_type Char) override;
        std::streamsize xsputn(const char* Data, std::streamsize Count) override;
        int sync() override;

      private:
        std::streambuf& m_Target;
        TProgressLine& m_Line;
    };

    void Draw();

    using TClock = std::chrono::steady_clock;
    const bool m_Enabled;
    TClock::time_point m_Drawn;
    /// The bytes received by the times of the last drawings, over the last few seconds: the rate shown.
    std::deque<std::pair<TClock::time_point, uint64_t>> m_Samples;
    bool m_Shown = false;
    TProgressCounts m_Counts;
    uint64_t m_Bytes = 0;
    std::string m_SilentHost;
    std::chrono::seconds m_Silent{0};
    std::unique_ptr<TClearingBuffer> m_Buffer;
    std::streambuf* m_Previous = nullptr;
};
