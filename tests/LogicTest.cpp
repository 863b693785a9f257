// The task queue: order and ownership of tasks.
#include "Logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

/// A task that records its life in a shared journal and runs an action when it finishes.
struct TJournalTask : ITask {
    TJournalTask(std::string Url, std::vector<std::string>& Journal)
        : m_Url(std::move(Url)), m_Journal(Journal)
    {
    }
    ~TJournalTask() override { m_Journal.push_back("delete " + m_Url); }
    const std::string& GetUrl() const override { return m_Url; }
    void Begin() override {}
    void Receive(const char*, size_t) override {}
    void Finish() override
    {
        m_Journal.push_back("finish " + m_Url);
        for (const std::string& url : m_Spawn)
            g_TaskQueue.Push(std::make_unique<TJournalTask>(url, m_Journal));
    }

    std::string m_Url;
    std::vector<std::string>& m_Journal;
    std::vector<std::string> m_Spawn; ///< tasks pushed while this one finishes
};

void RunQueue()
{
    while (!g_TaskQueue.IsEmpty()) {
        std::unique_ptr<ITask> task = g_TaskQueue.Pop();
        task->Finish();
    }
}

} // namespace

TEST(TaskQueue, TaskPushedDuringFinishRunsAfterEveryEarlierTask)
{
    std::vector<std::string> journal;
    auto title = std::make_unique<TJournalTask>("title", journal);
    title->m_Spawn = {"article1", "article2"};
    auto other = std::make_unique<TJournalTask>("other", journal);
    g_TaskQueue.Push(std::move(title));
    g_TaskQueue.Push(std::move(other));
    RunQueue();

    const std::vector<std::string> expected = {"finish title",    "delete title",    "finish other",
                                               "delete other",    "finish article1", "delete article1",
                                               "finish article2", "delete article2"};
    EXPECT_EQ(journal, expected);
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 0u);
}

TEST(TaskQueue, CountIsQueuedTasksPlusTheOneRunning)
{
    std::vector<std::string> journal;
    for (const char* url : {"a", "b", "c"})
        g_TaskQueue.Push(std::make_unique<TJournalTask>(url, journal));
    std::unique_ptr<ITask> running = g_TaskQueue.Pop();
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 3u);
    running.reset();
    RunQueue();
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 0u);
}

TEST(TaskQueue, DestroyingAQueueDeletesItsTasksFrontToBack)
{
    std::vector<std::string> journal;
    {
        TTaskQueue queue;
        queue.Push(std::make_unique<TJournalTask>("first", journal));
        queue.Push(std::make_unique<TJournalTask>("second", journal));
        EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 2u);
    }
    EXPECT_EQ(journal, (std::vector<std::string>{"delete first", "delete second"}));
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 0u);
}

TEST(TaskQueueDeathTest, PopOnAnEmptyQueueIsFatal)
{
    TTaskQueue queue;
    EXPECT_DEATH(queue.Pop(), "!m_Storage.empty\\(\\)");
}
