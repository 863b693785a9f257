// One attempt of a transfer: its easy handle attached, the replies' headers judged as they come, its end,
// its outcome as a message and a kind (passing or not), and the next attempt after a passing fault.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "libs/Exceptions.h"
#include "libs/Net/Engine.h"

namespace {

/// The longest header line that libcurl takes (CURL_MAX_HTTP_HEADER); it reports a longer one as a lack of
/// memory, without a text of its own.
constexpr long kMaxHeaderLine = 100 * 1024;

/// The value of the header Name in the last reply that libcurl has received, without the blanks around
/// it; empty when there is none. Present tells whether the reply had the header at all.
std::string LastHeader(CURL* Easy, const char* Name, bool* Present = nullptr)
{
    curl_header* header = nullptr;
    const bool found =
        curl_easy_header(Easy, Name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header != nullptr;
    if (Present != nullptr)
        *Present = found;
    if (!found)
        return std::string();
    std::string value = header->value;
    const char* const blanks = " \t\r\n";
    value.erase(0, value.find_first_not_of(blanks));
    value.erase(value.find_last_not_of(blanks) + 1);
    return value;
}

/// libcurl's detailed text without the times that it tells (" after 3 ms", " after 30001 milliseconds"):
/// the same failure has the same message in every run.
std::string WithoutElapsedTime(const std::string& Text)
{
    std::string result;
    size_t from = 0;
    for (size_t at; (at = Text.find(" after ", from)) != std::string::npos;) {
        size_t end = at + 7;
        while (end < Text.size() && Text[end] >= '0' && Text[end] <= '9')
            ++end;
        size_t unit = 0;
        for (const char* name : {" milliseconds", " ms"})
            if (end > at + 7 && Text.compare(end, std::strlen(name), name) == 0) {
                unit = std::strlen(name);
                break;
            }
        result.append(Text, from, (unit != 0 ? at : end) - from);
        from = end + unit;
    }
    return result.append(Text, from, std::string::npos);
}

/// The redirects that libcurl follows.
bool IsFollowedRedirect(long Status)
{
    return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

/// A reply that may well be different when asked again a little later.
bool IsPassingStatus(long Status)
{
    return Status == 429 || Status == 502 || Status == 503 || Status == 504;
}

/// A failure of the connection rather than of the request: it may well not recur.
bool IsPassingFault(CURLcode Code)
{
    switch (Code) {
    case CURLE_COULDNT_CONNECT:    // refused
    case CURLE_RECV_ERROR:         // reset
    case CURLE_SEND_ERROR:         // reset while the request went out
    case CURLE_GOT_NOTHING:        // closed before any reply
    case CURLE_PARTIAL_FILE:       // closed before the body's end
    case CURLE_OPERATION_TIMEDOUT: // no connection within its bound
    case CURLE_HTTP2:              // an HTTP/2 connection ended under the transfer (GOAWAY)
    case CURLE_FAILED_INIT:        // multiplexed onto a connection that was going (GOAWAY): "send: no
                                   // filter connected"; every attempt has a handle of its own
    case CURLE_HTTP2_STREAM:       // an HTTP/2 stream reset
        return true;
    default:
        return false;
    }
}

} // namespace

size_t HeaderCallback(char* /*buffer*/, size_t size, size_t nitems, void* userdata) noexcept
{
    // Once the headers of a reply have come, a redirect that libcurl follows and an interim reply let the
    // transfer go on; the task is told of a 200, and any other status ends the transfer there (libcurl
    // reports a write error), before any byte of the body is read.
    FATAL_CHECK(BrintLib::TestPtr__(userdata));
    auto* transfer = static_cast<TTransfer*>(userdata);
    TAttempt& attempt = *transfer->Attempt;
    const size_t length = size * nitems;
    attempt.LastByte = TClock::now();
    // Only the empty line that closes a header block matters.
    if (length > 2)
        return length;
    long status = 0;
    FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK);
    // 0: a proxy's answer to CONNECT, whose outcome libcurl judges itself; 1xx: the final reply is to come.
    if (status == 0 || (status >= 100 && status < 200))
        return length;
    bool location = false;
    attempt.Location = status >= 300 && status < 400 ? LastHeader(transfer->Easy, "Location", &location) : "";
    attempt.EmptyLocation = location && attempt.Location.empty();
    if (IsFollowedRedirect(status) && !attempt.Location.empty())
        return length;
    if (status != 200) {
        attempt.Status = status;
        // The address that answered so, when redirects led there.
        char* url = nullptr;
        if (curl_easy_getinfo(transfer->Easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr &&
            transfer->Url != url)
            attempt.Answered = url;
        curl_off_t retryAfter = 0;
        if (curl_easy_getinfo(transfer->Easy, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK &&
            retryAfter > 0)
            attempt.RetryAfter = std::chrono::seconds(retryAfter);
        return 0;
    }
    attempt.Replied = true;
    attempt.Decoder = std::make_unique<TBodyDecoder>(LastHeader(transfer->Easy, "Content-Encoding"));
    char* url = nullptr;
    FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK);
    const TReply reply{url != nullptr ? url : transfer->Url, LastHeader(transfer->Easy, "Content-Type")};
    if (attempt.Files != nullptr) {
        attempt.Files->PostReply(*transfer->Task, reply, attempt.Written);
        return length;
    }
    try {
        transfer->Task->Reply(reply);
    } catch (...) {
        // libcurl ends the transfer with CURLE_WRITE_ERROR.
        attempt.Failure = std::current_exception();
        return 0;
    }
    return length;
}

TTransfer& TCURLTransfer::Begin(ITask& Task, CURL* Easy)
{
    try {
        Task.Begin();
    } catch (...) {
        curl_easy_cleanup(Easy);
        throw;
    }
    TTransfer& transfer = Track(Task, Easy, TPhase::Prepared);
    Attach(transfer);
    return transfer;
}

void TCURLTransfer::Attach(TTransfer& Transfer)
{
    CURL* easy = Transfer.Easy;
    // libcurl may keep the address of the URL's characters: they now live in the transfer.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_URL, Transfer.Url.c_str()) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, ReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &Transfer) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &Transfer) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_PRIVATE, &Transfer) == CURLE_OK);
    TAttempt& attempt = *Transfer.Attempt;
    attempt.Error[0] = '\0';
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, attempt.Error) == CURLE_OK);
    FATAL_CHECK(curl_multi_add_handle(m_Session.Multi(), easy) == CURLM_OK);
    attempt.LastByte = TClock::now();
    Move(Transfer, TPhase::InFlight);
}

void TCURLTransfer::Complete(TTransfer& Transfer)
{
    TAttempt& attempt = *Transfer.Attempt;
    attempt.Ended = TClock::now();
    HandOver(Transfer);
    std::string().swap(attempt.Pending); // a done transfer may wait long for its turn: it holds no buffer
    // The handle ends at once, its connection goes to libcurl's cache.
    FATAL_CHECK(curl_multi_remove_handle(m_Session.Multi(), Transfer.Easy) == CURLM_OK);
    curl_easy_cleanup(Transfer.Easy);
    Transfer.Easy = nullptr;
    Move(Transfer, TPhase::Done);
}

size_t TCURLTransfer::EndStalls()
{
    const TClock::time_point now = TClock::now();
    const std::chrono::seconds bound(m_StallSeconds);
    size_t ended = 0;
    for (const auto& [task, transfer] : m_Transfers) {
        if (transfer->Phase != TPhase::InFlight || now - transfer->Attempt->LastByte < bound)
            continue;
        // Detaching the handle ends the transfer and closes its connection.
        transfer->Attempt->Stalled = true;
        Complete(*transfer);
        ++ended;
    }
    return ended;
}

std::string TCURLTransfer::FailureOf(const TTransfer& Transfer, bool& Passing) const
{
    const TAttempt& attempt = *Transfer.Attempt;
    std::ostringstream message;
    message << "Transfer error: ";
    const long status = attempt.Status != 0 ? attempt.Status : attempt.ResponseCode;
    const TBodyDecoder* decoder = attempt.Decoder.get();
    if (attempt.Stalled) {
        Passing = true;
        message << "nothing received for " << m_StallSeconds << " s";
    } else if (decoder != nullptr && !decoder->Error().empty()) {
        // What came is no stream of its encoding.
        Passing = false;
        message << decoder->Encoding() << " body is corrupt after " << decoder->Fed()
                << " bytes: " << decoder->Error();
    } else if (attempt.Result == CURLE_OK && status == 200 && decoder != nullptr && !decoder->Finished()) {
        // The HTTP framing was complete, the compressed stream was not: cut short on the way.
        Passing = true;
        message << decoder->Encoding() << " body cut short: " << decoder->Fed()
                << " bytes came, its stream did not end";
    } else if (attempt.Result != CURLE_OK && attempt.Status == 0) {
        Passing = IsPassingFault(attempt.Result);
        if (attempt.Error[0] != '\0')
            message << WithoutElapsedTime(attempt.Error);
        else if (attempt.Result == CURLE_OUT_OF_MEMORY && !attempt.Replied)
            message << "header line too long (more than " << kMaxHeaderLine << " bytes)";
        else
            message << curl_easy_strerror(attempt.Result);
    } else if (status != 200) {
        Passing = IsPassingStatus(status);
        message << "server return error code " << status;
    } else {
        return std::string();
    }
    message << " URL: " << Transfer.Url;
    if (!attempt.Answered.empty())
        message << " Redirected to: " << attempt.Answered;
    if (!attempt.Location.empty())
        message << " Location: " << attempt.Location;
    else if (attempt.EmptyLocation)
        message << " Location: (empty)";
    return message.str();
}

std::chrono::milliseconds TCURLTransfer::RetryPause(const TTransfer& Transfer, long Retry) const
{
    const std::chrono::seconds asked = Transfer.Attempt->RetryAfter;
    return asked.count() > 0 ? std::chrono::milliseconds(std::min(asked, m_Bounds.LongestRetryAfter))
                             : Retry * m_Bounds.RetryPause;
}

void TCURLTransfer::Restart(TTransfer& Transfer)
{
    CURLcode refusal = CURLE_OK;
    CURL* easy = m_Session.NewEasy(Transfer.Url, refusal);
    FATAL_CHECK(easy != nullptr); // libcurl took the URL for the attempt before
    // A connection that failed under the attempt before is not asked again (an HTTP/2 connection that the
    // server ended may still look usable to libcurl); a stream reset leaves its connection usable.
    const CURLcode before = Transfer.Attempt->Result;
    if (before == CURLE_HTTP2 || before == CURLE_SEND_ERROR || before == CURLE_FAILED_INIT)
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK);
    // Whatever the attempt before was, this one runs on the calling thread: the file thread has nothing
    // of it.
    Transfer.Attempt.emplace();
    Transfer.Easy = easy;
    Move(Transfer, TPhase::Prepared);
    Transfer.Task->Begin(); // a failure leaves the transfer prepared, for the turn to release
    Attach(Transfer);
    Perform();
}
