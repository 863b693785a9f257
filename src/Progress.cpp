#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "libs/CoutConvert.h"
#include "libs/Net/CURLTransfer.h"

namespace {

/// Redrawn no more often than this.
constexpr std::chrono::milliseconds kRedrawInterval{100};
/// A transfer silent this long is named on the line.
constexpr std::chrono::seconds kSilenceShown{5};
/// The rate shown is that of this last stretch of time.
constexpr std::chrono::seconds kRateWindow{3};

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

} // namespace

TProgressLine::TProgressLine()
    : m_Enabled(isatty(STDERR_FILENO) == 1), m_Drawn(TClock::now() - kRedrawInterval)
{
    if (!m_Enabled)
        return;
    std::cout.flush();
    m_Buffer = std::make_unique<TClearingBuffer>(*std::cout.rdbuf(), *this);
    m_Previous = std::cout.rdbuf(m_Buffer.get());
}

TProgressLine::~TProgressLine()
{
    if (!m_Enabled)
        return;
    std::cout.flush();
    std::cout.rdbuf(m_Previous);
    Clear();
}

void TProgressLine::Update(const TProgressCounts& Counts)
{
    m_Counts = Counts;
    Draw();
}

void TProgressLine::Update(const TActivity& Activity)
{
    m_Bytes = Activity.BytesReceived;
    m_SilentHost = Activity.SilentHost;
    m_Silent = Activity.Silent;
    Draw();
}

void TProgressLine::Clear()
{
    if (m_Shown)
        WriteError("\r\x1b[K");
    m_Shown = false;
}

std::string TProgressLine::Text(const TProgressCounts& Counts, uint64_t Bytes, uint64_t RecentBytes,
                                std::chrono::milliseconds Recent, const std::string& SilentHost,
                                std::chrono::seconds Silent)
{
    std::ostringstream text;
    text << "Задачи: " << Counts.Done << " из " << Counts.Known << "; страниц: " << Counts.Pages
         << ", картинок: " << Counts.Pictures << "; " << Amount(static_cast<double>(Bytes));
    if (Recent.count() > 0)
        text << ", " << Amount(static_cast<double>(RecentBytes) * 1000 / static_cast<double>(Recent.count()))
             << "/с";
    if (!SilentHost.empty() && Silent >= kSilenceShown)
        text << "; ждём " << SilentHost << " " << Silent.count() << " с";
    return text.str();
}

void TProgressLine::Draw()
{
    const TClock::time_point now = TClock::now();
    if (!m_Enabled || now - m_Drawn < kRedrawInterval)
        return;
    m_Drawn = now;
    m_Samples.emplace_back(now, m_Bytes);
    while (now - m_Samples.front().first > kRateWindow)
        m_Samples.pop_front();
    std::string line = BrintLib::Cp1251ToUser(
        Text(m_Counts, m_Bytes, m_Bytes - m_Samples.front().second,
             std::chrono::duration_cast<std::chrono::milliseconds>(now - m_Samples.front().first),
             m_SilentHost, m_Silent));
    // A line longer than the terminal would wrap, and only its last row would be cleared.
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        size_t columns = 0;
        size_t cut = 0;
        for (; cut < line.size(); ++cut)
            if ((static_cast<unsigned char>(line[cut]) & 0xC0) != 0x80 && ++columns == size.ws_col)
                break;
        line.resize(cut);
    }
    WriteError("\r" + line + "\x1b[K");
    m_Shown = true;
}

TProgressLine::TClearingBuffer::int_type TProgressLine::TClearingBuffer::overflow(int_type Char)
{
    m_Line.Clear();
    return traits_type::eq_int_type(Char, traits_type::eof())
               ? traits_type::not_eof(Char)
               : m_Target.sputc(traits_type::to_char_type(Char));
}

std::streamsize TProgressLine::TClearingBuffer::xsputn(const char* Data, std::streamsize Count)
{
    m_Line.Clear();
    return m_Target.sputn(Data, Count);
}

int TProgressLine::TClearingBuffer::sync()
{
    return m_Target.pubsync();
}
