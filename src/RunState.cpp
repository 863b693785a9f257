#include "RunState.h"

#include <cerrno>

#include "ErrorLog.h"
#include "Logic.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"

std::string g_IssueDir;

namespace {

/// The run under way: the one object the driver made, while it lives.
TRunState* s_Current = nullptr;

} // namespace

TRunState::TRunState()
{
    if (s_Current != nullptr)
        return;
    g_IssueDir.clear();
    s_Current = this;
}

TRunState::~TRunState()
{
    m_Lock.Unlock();
    if (s_Current != this)
        return;
    g_IssueDir.clear();
    SetFallbackLogDirectory("");
    s_Current = nullptr;
}

TRunState* TRunState::Current() noexcept
{
    return s_Current;
}

std::string TRunState::TakeIssueDirectory(const std::string& SavePath, const std::string& IssueName)
{
    const std::string dir = SavePath + BrintLib::kPathSeparator + IssueName + BrintLib::kPathSeparator;
    const bool held = dir == g_IssueDir && m_Lock.IsLocked();
    if (!held && m_BeforeTaking && dir.compare(0, dir.size() - 1, m_Checked) != 0)
        CheckBeforeRequest(dir.substr(0, dir.size() - 1));
    if (const unsigned error = BrintLib::CreateFullPath(dir)) {
        StopIfExhausted(static_cast<int>(error), dir);
        APL_THROW("Ошибка при создании каталога " << dir << ": "
                                                  << BrintLib::GetErrorDescription(static_cast<int>(error)));
    }
    if (!held) {
        const int error = m_Lock.Lock(dir);
        if (error == EWOULDBLOCK)
            throw BrintLib::TRunStopped("Каталог " + dir +
                                            " занят другим запуском Skerrow: дождитесь его конца; ничего не "
                                            "изменено",
                                        2);
        StopIfExhausted(error, dir);
        if (error != 0)
            APL_THROW("Ошибка при создании каталога " << dir << ": " << BrintLib::GetErrorDescription(error));
        // Whatever temporary is there now was left by a run that ended without removing it.
        BrintLib::RemoveTemporaries(dir);
    }
    g_IssueDir = dir;
    return dir;
}

void TRunState::CheckBeforeRequest(const std::string& Dir)
{
    if (!m_BeforeTaking)
        return;
    m_Checked = Dir;
    try {
        m_BeforeTaking(Dir);
    } catch (const BrintLib::TRunStopped& e) {
        // The issue is done: what is made after the run (the book, the index) is made from it.
        if (e.ExitStatus() == 0)
            g_IssueDir = Dir + BrintLib::kPathSeparator;
        throw;
    }
}

void TRunState::LogToSavePath(const std::string& SavePath)
{
    SetFallbackLogDirectory(SavePath);
}

std::string CreateIssueDirectory(const std::string& SavePath, const std::string& IssueName)
{
    FATAL_CHECK(s_Current != nullptr);
    return s_Current->TakeIssueDirectory(SavePath, IssueName);
}
