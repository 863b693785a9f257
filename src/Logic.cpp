#include "Logic.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

#include "libs/Auxiliary.h"
#include "libs/Environment.h"
#include "libs/Exceptions.h"

namespace {

/// Pictures up to this many megabytes (libs/Environment.h).
const char kMaxPictureVariable[] = "SKERROW_MAX_PICTURE_MB";

/// Whether the value of a Content-Type header names an HTML page, in any case, whatever its parameters.
bool IsHtml(const std::string& ContentType)
{
    const size_t end = ContentType.find(';');
    std::string type = ContentType.substr(0, end);
    type.erase(std::remove_if(type.begin(), type.end(), [](unsigned char c) { return std::isspace(c) != 0; }),
               type.end());
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type == "text/html";
}

} // namespace

TTaskQueue g_TaskQueue;

TTaskQueue::~TTaskQueue()
{
    while (!m_Storage.empty())
        m_Storage.pop_front();
}

void TTaskQueue::Push(std::unique_ptr<ITask> Task)
{
    m_Storage.push_back(std::move(Task)); // if this throws, Task still owns the task and deletes it
}

std::unique_ptr<ITask> TTaskQueue::Pop()
{
    FATAL_CHECK(!m_Storage.empty());
    std::unique_ptr<ITask> task = std::move(m_Storage.front());
    m_Storage.pop_front();
    return task;
}

ITask& TTaskQueue::At(size_t Index) const
{
    FATAL_CHECK(Index < m_Storage.size());
    return *m_Storage[Index];
}

TDownloadFile::TDownloadFile(const std::string& Url, const std::string& FileName)
    : m_Url(Url), m_FileName(FileName),
      m_MaxBytes(static_cast<size_t>(BrintLib::WholeNumberFromEnvironment(kMaxPictureVariable)) * 1024 * 1024)
{
}

void TDownloadFile::Begin()
{
    // What an attempt before this one received goes.
    m_File.Discard();
    m_Received = 0;
    CreateTaskFile(m_File, m_FileName);
}

void TDownloadFile::Reply(const TReply& Reply)
{
    if (IsHtml(Reply.ContentType))
        APL_THROW("Transfer error: не картинка (Content-Type: " << Reply.ContentType << ") URL: " << m_Url);
}

void TDownloadFile::Receive(const char* Data, size_t Length)
{
    if (Length > m_MaxBytes - m_Received)
        APL_THROW("Transfer error: picture too large (more than " << m_MaxBytes << " bytes) URL: " << m_Url);
    m_Received += Length;
    WriteTaskFile(m_File, m_FileName, Data, Length);
}

void TDownloadFile::Finish()
{
    if (m_Received == 0)
        APL_THROW("Transfer error: не картинка (пустой ответ) URL: " << m_Url);
    CommitTaskFile(m_File, m_FileName);
}

void StopIfExhausted(int Error, const std::string& FileName)
{
    const char* what = Error == ENOSPC || Error == EDQUOT ? "Диск заполнен: "
                       : Error == EMFILE || Error == ENFILE ? "Нет свободных дескрипторов файлов: "
                                                            : nullptr;
    if (what != nullptr)
        throw BrintLib::TRunStopped(
            std::string(what) + FileName + " не записан (" + BrintLib::GetErrorDescription(Error) + ")", 1);
}

void CreateTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName)
{
    if (BrintLib::PathExists(FileName))
        throw TAlreadySaved{FileName};
    const int error = File.Create(FileName);
    StopIfExhausted(error, FileName);
    if (error != 0)
        APL_THROW("Ошибка при открытии файла " << FileName << ": " << BrintLib::GetErrorDescription(error));
}

void WriteTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName, const char* Data, size_t Length)
{
    const int error = File.Write(Data, Length);
    StopIfExhausted(error, FileName);
    if (error != 0)
        APL_THROW("Ошибка при записи " << FileName << ": " << BrintLib::GetErrorDescription(error));
}

void CommitTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName)
{
    const int error = File.Commit();
    StopIfExhausted(error, FileName);
    if (error == EEXIST)
        APL_THROW("Файл " << FileName << " уже существует");
    if (error != 0)
        APL_THROW("Ошибка при записи " << FileName << ": " << BrintLib::GetErrorDescription(error));
}

void AppendPageChunk(std::string& Page, const std::string& Url, const char* Data, size_t Length)
{
    if (Length > kMaxPageBytes - Page.size())
        APL_THROW("Transfer error: page too large (more than " << kMaxPageBytes << " bytes) URL: " << Url);
    Page.append(Data, Length);
}
