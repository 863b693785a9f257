#include "Logic.h"

#include <cerrno>
#include <utility>

#include "libs/Exceptions.h"

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
    : m_Url(Url), m_FileName(FileName)
{
}

void TDownloadFile::Begin()
{
    CreateTaskFile(m_File, m_FileName);
}

void TDownloadFile::Receive(const char* Data, size_t Length)
{
    WriteTaskFile(m_File, m_FileName, Data, Length);
}

void TDownloadFile::Finish()
{
    CommitTaskFile(m_File, m_FileName);
}

void CreateTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName)
{
    if (BrintLib::PathExists(FileName))
        APL_THROW("Файл " << FileName << " уже существует");
    if (File.Create(FileName) != 0)
        APL_THROW("Ошибка при открытии файла " << FileName);
}

void WriteTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName, const char* Data, size_t Length)
{
    if (File.Write(Data, Length) != 0)
        APL_THROW("Ошибка при записи " << FileName);
}

void CommitTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName)
{
    const int error = File.Commit();
    if (error == EEXIST)
        APL_THROW("Файл " << FileName << " уже существует");
    if (error != 0)
        APL_THROW("Ошибка при записи " << FileName);
}

void AppendPageChunk(std::string& Page, const std::string& Url, const char* Data, size_t Length)
{
    if (Length > kMaxPageBytes - Page.size())
        APL_THROW("Transfer error: page too large (more than " << kMaxPageBytes << " bytes) URL: " << Url);
    Page.append(Data, Length);
}
