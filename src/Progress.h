// The progress line: while a run goes on and standard error is a terminal, one status line on standard
// error says how far the run is (tasks done of those known, which host has kept silent for a while and the
// attempt at it, pages, pictures, bytes, rate). It is redrawn at most 10 times a second, and at once after
// every batch of console lines. A batch that goes to the same terminal (standard error, or standard output
// on the terminal of standard error) clears it first, so the console reads as without it; the clearing,
// the batch and the drawing go to the terminal in one write (through standard error's descriptor: the
// same terminal), so the screen never shows the line missing. Standard output sent elsewhere never
// touches it, and its bytes are unchanged.
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

/// What the line shows besides the counts.
struct TProgressState {
    uint64_t Bytes = 0;                  ///< body bytes received so far
    uint64_t RecentBytes = 0;            ///< of them, those received in the Recent time before now
    std::chrono::milliseconds Recent{0}; ///< no rate is shown while it is zero
    std::string SilentHost;              ///< the host silent the longest; empty: none
    std::chrono::seconds Silent{0};      ///< shown from 5 s on
    unsigned Attempt = 1;                ///< the attempt at the task in turn, of Attempts (shown from 2 on)
    unsigned Attempts = 1;
};

/// The progress line of one run. Does nothing at all when standard error is not a terminal. While it
/// lives, std::cout and std::cerr write through it (the same objects, so the console conversion applies);
/// a batch goes out when the stream is flushed.
class TProgressLine {
  public:
    TProgressLine();
    /// Sends what is pending, gives the streams their buffers back and clears the line.
    ~TProgressLine();
    TProgressLine(const TProgressLine&) = delete;
    TProgressLine& operator=(const TProgressLine&) = delete;

    bool Enabled() const { return m_Enabled; }
    /// New counts (a task's turn): redraws when the last drawing is 0.1 s old.
    void Update(const TProgressCounts& Counts);
    /// New transfer activity, the attempt at the task in turn with it ("попытка 2 из 3" follows the silent
    /// host); redraws when the last drawing is 0.1 s old.
    void Update(const TActivity& Activity);
    /// Ends the line of an interrupted run: the last drawing stays on screen (after it, the terminal's
    /// "^C") and a line feed follows, so that the lines still pending and the next ones start on rows of
    /// their own; the line is not drawn again. Returns whether the line was shown (and so ended with the
    /// line feed).
    bool KeepShown();

    /// The line's text (windows-1251) for the given state, at most Columns characters wide (0: any
    /// width). When the whole text fits: "Задачи: D из K; страниц: P, картинок: I; BYTES, RATE/с" and
    /// "; ждём HOST N с" (", попытка A из N"). Otherwise what matters first: the tasks, the wait, the
    /// attempt, then the counts and the bytes, cut at Columns.
    static std::string Text(const TProgressCounts& Counts, const TProgressState& State, size_t Columns);

  private:
    /// A standard stream's buffer while the line lives: collects the bytes and sends them as one batch
    /// when the stream is flushed (or much is pending), clearing the line first when they go to its
    /// terminal and drawing it again after them.
    class TConsoleBuffer : public std::streambuf {
      public:
        TConsoleBuffer(std::streambuf& Target, TProgressLine& Line, bool SameTerminal)
            : m_Target(Target), m_Line(Line), m_SameTerminal(SameTerminal)
        {
        }
        /// Sends what is pending.
        void Send();

      protected:
        int_type overflow(int_type Char) override;
        std::streamsize xsputn(const char* Data, std::streamsize Count) override;
        int sync() override;

      private:
        std::streambuf& m_Target;
        TProgressLine& m_Line;
        const bool m_SameTerminal; ///< the bytes reach the line's terminal
        std::string m_Pending;
    };

    /// Draws the line with the state now; when Always is false, only once the last drawing is 0.1 s old.
    void Draw(bool Always);
    void Clear();
    /// What Draw and Clear write, the state updated as if written; empty for nothing.
    std::string Drawing(bool Always);
    std::string Clearing();

    using TClock = std::chrono::steady_clock;
    const bool m_Enabled;
    TClock::time_point m_Drawn;
    /// The bytes received by the times of the last drawings, over the last few seconds: the rate shown.
    std::deque<std::pair<TClock::time_point, uint64_t>> m_Samples;
    bool m_Shown = false;
    /// The terminal's cursor stands at the start of an empty row (no line written there half-way).
    bool m_AtRowStart = true;
    bool m_Ended = false; ///< KeepShown: never drawn again
    TProgressCounts m_Counts;
    TProgressState m_State;
    std::unique_ptr<TConsoleBuffer> m_Out;
    std::unique_ptr<TConsoleBuffer> m_Err;
    std::streambuf* m_PreviousOut = nullptr;
    std::streambuf* m_PreviousErr = nullptr;
};
