#include "Progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "libs/CoutConvert.h"
#include "libs/Interruption.h"
#include "libs/Net/CURLTransfer.h"

namespace {

/// Redrawn no more often than this, but for the drawings after a batch of console lines.
constexpr std::chrono::milliseconds kRedrawInterval{100};
/// A transfer silent this long is named on the line.
constexpr std::chrono::seconds kSilenceShown{5};
/// The rate shown is that of this last stretch of time.
constexpr std::chrono::seconds kRateWindow{3};
/// Pending console bytes beyond this go out without waiting for a flush.
constexpr size_t kLargestBatch = 64 * 1024;

/// Writes all of Text to standard error, unbuffered.
void WriteError(const std::string& Text)
{
    const char* data = Text.data();
    size_t left = Text.size();
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, data, left);
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

/// Bytes in units a person reads, one decimal.
std::string Amount(double Bytes)
{
    const char* units[] = {"Б", "КБ", "МБ", "ГБ"};
    size_t unit = 0;
    while (Bytes >= 1024 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        Bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f " : "%.1f ", Bytes);
    return text + std::string(units[unit]);
}

/// Whether standard output is the terminal that standard error is.
bool OutputOnTheErrorTerminal()
{
    struct stat out = {};
    struct stat err = {};
    return isatty(STDOUT_FILENO) == 1 && fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

} // namespace

TProgressLine::TProgressLine()
    : m_Enabled(isatty(STDERR_FILENO) == 1), m_Drawn(TClock::now() - kRedrawInterval)
{
    if (!m_Enabled)
        return;
    std::cout.flush();
    std::cerr.flush();
    m_Out = std::make_unique<TConsoleBuffer>(*std::cout.rdbuf(), *this, OutputOnTheErrorTerminal());
    m_Err = std::make_unique<TConsoleBuffer>(*std::cerr.rdbuf(), *this, true);
    m_PreviousOut = std::cout.rdbuf(m_Out.get());
    m_PreviousErr = std::cerr.rdbuf(m_Err.get());
}

TProgressLine::~TProgressLine()
{
    if (!m_Enabled)
        return;
    m_Out->Send();
    m_Err->Send();
    std::cout.rdbuf(m_PreviousOut);
    std::cerr.rdbuf(m_PreviousErr);
    Clear();
}

void TProgressLine::Update(const TProgressCounts& Counts)
{
    m_Counts = Counts;
    Draw(false);
}

void TProgressLine::Update(const TActivity& Activity)
{
    m_State.Bytes = Activity.BytesReceived;
    m_State.SilentHost = Activity.SilentHost;
    m_State.Silent = Activity.Silent;
    m_State.Attempt = Activity.Attempt;
    m_State.Attempts = Activity.Attempts;
    Draw(false);
}

bool TProgressLine::KeepShown()
{
    if (!m_Enabled)
        return false;
    // The row stays as it is, the terminal's echo with it; what was pending follows on rows below.
    const bool shown = m_Shown;
    if (shown)
        WriteError("\n");
    m_Shown = false;
    m_AtRowStart = true;
    m_Ended = true;
    m_Out->Send();
    m_Err->Send();
    return shown;
}

void TProgressLine::Clear()
{
    WriteError(Clearing());
}

std::string TProgressLine::Clearing()
{
    if (!m_Shown)
        return std::string();
    m_Shown = false;
    m_AtRowStart = true;
    return "\r\x1b[K";
}

std::string TProgressLine::Text(const TProgressCounts& Counts, const TProgressState& State, size_t Columns)
{
    std::ostringstream tasks;
    tasks << "Задачи: " << Counts.Done << " из " << Counts.Known;
    std::ostringstream counts;
    counts << "; страниц: " << Counts.Pages << ", картинок: " << Counts.Pictures << "; "
           << Amount(static_cast<double>(State.Bytes));
    if (State.Recent.count() > 0)
        counts << ", "
               << Amount(static_cast<double>(State.RecentBytes) * 1000 /
                         static_cast<double>(State.Recent.count()))
               << "/с";
    std::ostringstream wait;
    if (!State.SilentHost.empty() && State.Silent >= kSilenceShown)
        wait << "; ждём " << State.SilentHost << " " << State.Silent.count() << " с";
    if (State.Attempt > 1)
        wait << (wait.tellp() > 0 ? ", " : "; ") << "попытка " << State.Attempt << " из " << State.Attempts;
    std::string text = tasks.str() + counts.str() + wait.str();
    if (Columns == 0 || text.size() <= Columns)
        return text;
    // Too wide: what matters first, and the rest as far as it goes.
    text = tasks.str() + wait.str() + counts.str();
    text.resize(Columns);
    while (!text.empty() && (text.back() == ' ' || text.back() == ';' || text.back() == ','))
        text.pop_back();
    return text;
}

void TProgressLine::Draw(bool Always)
{
    WriteError(Drawing(Always));
}

std::string TProgressLine::Drawing(bool Always)
{
    const TClock::time_point now = TClock::now();
    // Once the run is interrupted the line stays as it is, with the terminal's "^C" after it.
    if (!m_Enabled || m_Ended || BrintLib::InterruptionSignal() != 0 ||
        (!Always && now - m_Drawn < kRedrawInterval) || (!m_Shown && !m_AtRowStart))
        return std::string();
    if (!Always) {
        m_Drawn = now;
        m_Samples.emplace_back(now, m_State.Bytes);
        while (now - m_Samples.front().first > kRateWindow)
            m_Samples.pop_front();
    }
    TProgressState state = m_State;
    if (!m_Samples.empty()) {
        state.RecentBytes = m_State.Bytes - m_Samples.front().second;
        state.Recent =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_Drawn - m_Samples.front().first);
    }
    // A line as wide as the terminal would wrap, and only its last row would be cleared.
    winsize size{};
    const size_t columns =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1u : 0;
    m_Shown = true;
    m_AtRowStart = false;
    return "\r" + BrintLib::Cp1251ToUser(Text(m_Counts, state, columns)) + "\x1b[K";
}

void TProgressLine::TConsoleBuffer::Send()
{
    if (m_Pending.empty())
        return;
    if (!m_SameTerminal) {
        m_Target.sputn(m_Pending.data(), static_cast<std::streamsize>(m_Pending.size()));
        m_Target.pubsync();
        m_Pending.clear();
        return;
    }
    // The line cleared, the batch and the line drawn again reach the terminal in one write, so that the
    // screen never shows it without the line between them.
    std::string text = m_Line.Clearing() + m_Pending;
    m_Line.m_AtRowStart = m_Pending.back() == '\n';
    text += m_Line.Drawing(true);
    m_Pending.clear();
    WriteError(text);
}

TProgressLine::TConsoleBuffer::int_type TProgressLine::TConsoleBuffer::overflow(int_type Char)
{
    if (traits_type::eq_int_type(Char, traits_type::eof()))
        return traits_type::not_eof(Char);
    m_Pending += traits_type::to_char_type(Char);
    if (m_Pending.size() >= kLargestBatch)
        Send();
    return Char;
}

std::streamsize TProgressLine::TConsoleBuffer::xsputn(const char* Data, std::streamsize Count)
{
    m_Pending.append(Data, static_cast<size_t>(Count));
    if (m_Pending.size() >= kLargestBatch)
        Send();
    return Count;
}

int TProgressLine::TConsoleBuffer::sync()
{
    Send();
    return 0;
}
