// The task engine: the task interface, the global first-in-first-out task queue, and the two kinds of
// task (saving a URL to a file; downloading a page and handing it to a page processor).
//
// Ownership: a task is owned by its creator until it is pushed, by the queue while it waits, and by the
// driver from Pop until it deletes it.
#pragma once

#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "libs/Charset.h"
#include "libs/CoutConvert.h"
#include "libs/FileSystem.h"
#include "libs/PictureKind.h"
#include "libs/stlauxiliary.h"

/// What the transfer engine tells a task of the reply whose body it is about to receive.
struct TReply {
    /// The address that answered: the task's own URL, or where its redirects led.
    std::string Url;
    /// The Content-Type header's value as the server sent it; empty when it sent none.
    std::string ContentType;
};

/// One URL to download and what to do with its bytes. The transfer engine calls, for one task:
/// GetUrl, Begin, Reply, Receive for every chunk in arrival order, and Finish only when the transfer ended
/// with status 200. A transfer that is tried again starts over at Begin, which then discards what the
/// attempt before received. Any of them may raise; the remaining ones are then not called.
struct ITask : public BrintLib::CObjectCount<ITask> {
    virtual ~ITask() = default;
    /// The URL as its creator composed it; stable for the task's life.
    virtual const std::string& GetUrl() const = 0;
    /// Prepares the destination, before the transfer is set up.
    virtual void Begin() = 0;
    /// Takes what the final reply (status 200, after any redirects) says of its body: called once per
    /// attempt, after Begin and before the first Receive. May raise to refuse the body.
    virtual void Reply(const TReply& /*Reply*/) {}
    /// Takes one chunk of the response body; Data is valid only during the call.
    virtual void Receive(const char* Data, size_t Length) = 0;
    /// Completes the task after a successful transfer.
    virtual void Finish() = 0;
    /// The file that Begin creates and Finish completes, when the task has one before its transfer; empty
    /// otherwise. The transfers of two tasks with the same destination never overlap. Begin, Reply and
    /// Receive of a task with a destination may run on another thread than its other calls (GetUrl,
    /// Destination, Finish, the destructor), never at the same time as any of them: they touch nothing but
    /// the task itself and the file system.
    virtual std::string Destination() const { return std::string(); }
    /// True for a task that saves a page; the others save pictures. Used to count what a run saved.
    virtual bool SavesPage() const { return false; }
    /// False once a completed task turned out to save no file of its own (a page of a long article that
    /// only led on to the next page, which saves the article): not counted among what a run saved.
    virtual bool SavesFile() const { return true; }
};

/// The queue of tasks still to run; it owns every task that it holds.
class TTaskQueue {
  public:
    TTaskQueue() = default;
    TTaskQueue(const TTaskQueue&) = delete;
    TTaskQueue& operator=(const TTaskQueue&) = delete;
    /// Deletes every task still held, front to back.
    ~TTaskQueue();

    /// Appends Task at the back. If appending fails, the task is deleted before the failure propagates.
    void Push(std::unique_ptr<ITask> Task);
    /// Removes and returns the front task. The queue must not be empty (fatal check).
    std::unique_ptr<ITask> Pop();
    bool IsEmpty() const { return m_Storage.empty(); }
    size_t Size() const { return m_Storage.size(); }
    /// The task at Index from the front, still owned by the queue; Index must be below Size() (fatal check).
    ITask& At(size_t Index) const;

  private:
    std::deque<std::unique_ptr<ITask>> m_Storage;
};

/// The one task queue of the program.
extern TTaskQueue g_TaskQueue;

/// Raised at a task's turn when its file exists already (saved by an earlier run): the task is done, the
/// file is left as it is, and nothing more is requested or written for it. Not a failure.
struct TAlreadySaved {
    std::string File;
};

/// Saves the picture at one URL, its body byte for byte, into one new file. A body is a picture when its
/// bytes are one (BrintLib::PictureKindOf, whatever its Content-Type) and it ends whole
/// (BrintLib::IsWholePicture); a body is at most SKERROW_MAX_PICTURE_MB megabytes (environment; a whole
/// number from 1 to 1048576, default 256; read when the task is made).
///
/// Never overwrites a picture: Begin raises TAlreadySaved when anything is named FileName, before anything
/// is downloaded. A regular file under FileName that is no whole picture (saved by an older version, or
/// cut) is no saved picture: the task removes it when it is made, and fetches the picture again. The body
/// goes into a temporary beside the file (BrintLib::TAtomicFile) that becomes the file only in Finish, so a
/// transfer that fails, or a task deleted before its Finish, leaves nothing under FileName and no
/// temporary; the first bytes are held back until they tell whether they are a picture, so nothing of a
/// body that is none is written. Begin starts every attempt afresh, with a new temporary.
///
/// Raises BrintLib::TAplThrowException:
///  * Begin: "Ошибка при открытии файла <FileName>: <system's text>" when it cannot be created (missing
///    directory, no rights);
///  * Receive or Finish: "Transfer error: не картинка: <what came> [(Content-Type: <value>)] URL: <url>"
///    when the body is no picture (what came as BrintLib::WhatCameInstead says; "пришла оборванная
///    картинка JPEG" for one that does not end whole);
///  * Receive: "Transfer error: picture too large (more than <bound> bytes) URL: <url>", without writing
///    the chunk, when the body would grow beyond the bound; "Ошибка при записи <FileName>: <system's text>";
///  * Finish: "Файл <FileName> уже существует" when something appeared under the name meanwhile, "Ошибка
///    при записи <FileName>: <system's text>" when the file cannot be completed.
/// A full disk or quota, or no file handle left, raises BrintLib::TRunStopped instead (StopIfExhausted).
class TDownloadFile : public ITask {
  public:
    /// Url is absolute; the directory of FileName must exist by the time Begin runs.
    TDownloadFile(const std::string& Url, const std::string& FileName);

    const std::string& GetUrl() const override { return m_Url; }
    void Begin() override;
    void Reply(const TReply& Reply) override;
    void Receive(const char* Data, size_t Length) override;
    void Finish() override;
    std::string Destination() const override { return m_FileName; }

  private:
    /// Writes the held first bytes once they are known to start a picture; raises when they are not.
    /// Ended: the body has no more bytes.
    void Judge(bool Ended);
    [[noreturn]] void RaiseNoPicture(const std::string& WhatCame) const;

    std::string m_Url;
    std::string m_FileName;
    size_t m_MaxBytes;         ///< the bound of the body
    size_t m_Received = 0;     ///< bytes of the body in this attempt
    std::string m_ContentType; ///< the reply's, for messages
    std::string m_Head;        ///< the first bytes; held back until Judge, kept for IsWholePicture
    bool m_Judged = false;     ///< m_Head is written and the body is a picture of m_Kind
    BrintLib::TPictureKind m_Kind = BrintLib::TPictureKind::Unknown;
    std::string m_Tail;           ///< the last bytes received, up to BrintLib::kPictureTailBytes
    BrintLib::TAtomicFile m_File; ///< open between Begin and Finish
};

/// Raises BrintLib::TRunStopped (exit status 1) when Error, met on FileName, would fail every task after
/// it too: "Диск заполнен: ..." for ENOSPC and EDQUOT, "Нет свободных дескрипторов файлов: ..." for
/// EMFILE and ENFILE. Returns for any other Error.
void StopIfExhausted(int Error, const std::string& FileName);
/// Begins File as the new file FileName, for the tasks. Raises TAlreadySaved when anything is named
/// FileName, and "Ошибка при открытии файла <FileName>: <system's text>" when it cannot be created.
void CreateTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName);
/// Writes Length bytes to File; raises "Ошибка при записи <FileName>: <system's text>" when the write
/// fails.
void WriteTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName, const char* Data, size_t Length);
/// Makes File the file FileName; raises "Файл <FileName> уже существует" when something appeared under
/// the name meanwhile, "Ошибка при записи <FileName>: <system's text>" for any other failure.
/// All three raise StopIfExhausted's TRunStopped first.
void CommitTaskFile(BrintLib::TAtomicFile& File, const std::string& FileName);

/// A page is held in memory while it arrives; a body larger than this fails its task.
constexpr size_t kMaxPageBytes = 64 * 1024 * 1024;
/// Appends one chunk of the page from Url to Page; raises "Transfer error: page too large (more than
/// <kMaxPageBytes> bytes) URL: <Url>", without holding the chunk, when the page would grow beyond
/// kMaxPageBytes.
void AppendPageChunk(std::string& Page, const std::string& Url, const char* Data, size_t Length);

/// Whether Processor offers Process(Page, PageUrl) (true) or Process(Page) alone.
template <typename Processor, typename = void> struct TProcessorTakesPageUrl : std::false_type {
};
template <typename Processor>
struct TProcessorTakesPageUrl<Processor,
                              std::void_t<decltype(std::declval<Processor&>().Process(
                                  std::declval<std::string&>(), std::declval<const std::string&>()))>>
    : std::true_type {
};

/// Whether Processor offers Process(Page, PageUrl, PageCharset): the character set the page came in too.
template <typename Processor, typename = void> struct TProcessorTakesPageCharset : std::false_type {
};
template <typename Processor>
struct TProcessorTakesPageCharset<Processor,
                                  std::void_t<decltype(std::declval<Processor&>().Process(
                                      std::declval<std::string&>(), std::declval<const std::string&>(),
                                      std::declval<const std::string&>()))>> : std::true_type {
};

/// A task that downloads one HTML page into memory (up to kMaxPageBytes, AppendPageChunk) for the Finish of
/// the class that derives from it: the bytes received and what the engine told of the reply, afresh at each
/// attempt. Receive raises the failure of AppendPageChunk.
class TPageTask : public ITask {
  public:
    explicit TPageTask(std::string Url) : m_Url(std::move(Url)) {}

    const std::string& GetUrl() const override { return m_Url; }
    bool SavesPage() const override { return true; }
    void Begin() override
    {
        m_Storage.clear();
        m_Reply = TReply{m_Url, std::string()};
    }
    void Reply(const TReply& Reply) override
    {
        m_Reply = Reply;
        if (m_Reply.Url.empty())
            m_Reply.Url = m_Url;
    }
    void Receive(const char* Data, size_t Length) override
    {
        AppendPageChunk(m_Storage, m_Url, Data, Length);
    }

  protected:
    /// Shows the "Processing:" line and makes the page windows-1251 (BrintLib::PageToCp1251, after the
    /// reply's Content-Type); returns the character set it came in (empty for windows-1251 or untold).
    std::string TakePage()
    {
        // Unconverted: the console line carries the URL's own bytes, control bytes masked. Flushed with
        // the engine's next wait (TDownloader::Download).
        std::cout << "Processing: " << BrintLib::MaskControlBytes(m_Url) << '\n';
        return BrintLib::PageToCp1251(m_Storage, m_Reply.ContentType);
    }

    std::string m_Url;
    std::string m_Storage; ///< the bytes received so far; after processing, the page to write
    TReply m_Reply;        ///< what the engine told of the reply (Begin: the task's URL, no Content-Type)
};

/// Downloads one HTML page into memory, makes it windows-1251, hands it to a page processor and writes what
/// the processor made of it into the new file that the processor names.
///
/// Processor must be default-constructible and offer
///     std::string Process(std::string& Page, const std::string& PageUrl);
/// (or, when it resolves no address of the page, Process(std::string& Page) alone) which is given the page
/// in windows-1251 (BrintLib::PageToCp1251, after the reply's Content-Type) and the address it came from,
/// where any redirects led (the task's URL when the engine told no other), against which the page's own
/// addresses are resolved; or Process(Page, PageUrl, PageCharset), given also the character set the page
/// came in (what PageToCp1251 returns: empty for windows-1251 or untold). It replaces the page with the page
/// to save and returns the full path of the file to write. It may create directories, set g_IssueDir and push
/// tasks onto g_TaskQueue, and reports failures by raising.
///
/// Finish raises what the processor raises, and the failures
/// of CreateTaskFile, WriteTaskFile and CommitTaskFile. The existence test comes after the processor has
/// run: its side effects stay even when the file then cannot be written or exists already
/// (TAlreadySaved: a page saved before still queues its pictures); an existing file is never touched,
/// and the file appears whole or not at all.
template <typename Processor> class TDownloadAndProcess : public TPageTask {
  public:
    /// Default-constructed with the task; the task's creator fills its fields before pushing the task.
    Processor m_Processor;

    explicit TDownloadAndProcess(const std::string& Url) : TPageTask(Url) {}

    void Finish() override
    {
        const std::string charset = TakePage();
        std::string fileName;
        if constexpr (TProcessorTakesPageCharset<Processor>::value)
            fileName = m_Processor.Process(m_Storage, m_Reply.Url, charset);
        else if constexpr (TProcessorTakesPageUrl<Processor>::value)
            fileName = m_Processor.Process(m_Storage, m_Reply.Url);
        else
            fileName = m_Processor.Process(m_Storage);
        BrintLib::TAtomicFile file;
        CreateTaskFile(file, fileName);
        WriteTaskFile(file, fileName, m_Storage.data(), m_Storage.size());
        CommitTaskFile(file, fileName);
    }
};
