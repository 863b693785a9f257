#include "Logic.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "libs/Auxiliary.h"
#include "libs/Environment.h"
#include "libs/Exceptions.h"

namespace {

/// Pictures up to this many megabytes (libs/Environment.h).
const char kMaxPictureVariable[] = "SKERROW_MAX_PICTURE_MB";

/// Removes the regular file FileName when it is no whole picture: saved by an older version that took
/// any reply for a picture, or cut. Anything else under the name (a whole picture, a directory, a link) is
/// left as it is and counts as saved.
void RemoveBrokenPicture(const std::string& FileName)
{
    struct stat status {};
    if (lstat(BrintLib::NativePath(FileName).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        !BrintLib::IsWholePictureFile(FileName))
        unlink(BrintLib::NativePath(FileName).c_str());
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
    RemoveBrokenPicture(m_FileName);
}

void TDownloadFile::Begin()
{
    // What an attempt before this one received goes.
    m_File.Discard();
    m_Received = 0;
    m_ContentType.clear();
    m_Head.clear();
    m_Judged = false;
    m_Kind = BrintLib::TPictureKind::Unknown;
    m_Tail.clear();
    CreateTaskFile(m_File, m_FileName);
}

void TDownloadFile::Reply(const TReply& Reply)
{
    m_ContentType = Reply.ContentType;
}

void TDownloadFile::Receive(const char* Data, size_t Length)
{
    if (Length > m_MaxBytes - m_Received)
        APL_THROW("Transfer error: picture too large (more than " << m_MaxBytes << " bytes) URL: " << m_Url);
    m_Received += Length;
    const size_t kept = std::min(Length, BrintLib::kPictureTailBytes);
    m_Tail.append(Data + Length - kept, kept);
    if (m_Tail.size() > BrintLib::kPictureTailBytes)
        m_Tail.erase(0, m_Tail.size() - BrintLib::kPictureTailBytes);
    if (m_Judged) {
        WriteTaskFile(m_File, m_FileName, Data, Length);
        return;
    }
    const size_t held = std::min(Length, BrintLib::kMaxPictureHead - m_Head.size());
    m_Head.append(Data, held);
    if (m_Head.size() < BrintLib::kPictureHeadBytes)
        return;
    Judge(false);
    if (m_Judged && held < Length)
        WriteTaskFile(m_File, m_FileName, Data + held, Length - held);
}

void TDownloadFile::Judge(bool Ended)
{
    if (m_Judged)
        return;
    m_Kind = BrintLib::PictureKindOf(m_Head);
    if (m_Kind == BrintLib::TPictureKind::Unknown && !Ended && m_Head.size() < BrintLib::kMaxPictureHead)
        return;
    if (m_Kind == BrintLib::TPictureKind::None || m_Kind == BrintLib::TPictureKind::Unknown)
        RaiseNoPicture(BrintLib::WhatCameInstead(m_Head));
    m_Judged = true;
    WriteTaskFile(m_File, m_FileName, m_Head.data(), m_Head.size());
    // The end's check reads only the sizes at the start of a WebP or BMP.
    m_Head.resize(std::min<size_t>(m_Head.size(), 16));
    m_Head.shrink_to_fit();
}

void TDownloadFile::RaiseNoPicture(const std::string& WhatCame) const
{
    APL_THROW("Transfer error: не картинка: "
              << WhatCame << (m_ContentType.empty() ? "" : " (Content-Type: " + m_ContentType + ")")
              << " URL: " << m_Url);
}

void TDownloadFile::Finish()
{
    Judge(true);
    if (!BrintLib::IsWholePicture(m_Kind, m_Head, m_Tail, m_Received))
        RaiseNoPicture(std::string("пришла оборванная картинка ") + BrintLib::PictureKindName(m_Kind));
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
