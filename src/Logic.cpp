#include "Logic.h"

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
