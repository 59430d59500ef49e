#include "sync/copy_runner.h"

#include <algorithm>
#include <utility>

#include "os/parent_directory_cache.h"
#include "os/thread_name.h"

CopyRunner::CopyRunner(std::size_t threads) {
  threads = std::max<std::size_t>(threads, 1);
  m_Threads.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) m_Threads.emplace_back([this] { Serve(); });
}

CopyRunner::~CopyRunner() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Ending = true;
  }
  m_Work.notify_all();
  for (std::thread& thread : m_Threads) thread.join();
}

std::size_t CopyRunner::DefaultThreads() {
  // The sync's own thread keeps one core busy with the comparisons.
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores, 1, 4);
}

void CopyRunner::Add(std::function<Outcome()> copy, uint64_t run) {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Slots.push_back(Slot{std::move(copy), run, false, {}});
  }
  m_Work.notify_one();
}

std::size_t CopyRunner::Pending() {
  const std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Slots.size();
}

CopyRunner::Outcome CopyRunner::TakeOldest() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_Done.wait(lock, [this] { return m_Slots.front().done; });
  const Outcome outcome = m_Slots.front().outcome;
  m_Slots.pop_front();
  --m_NextToStart;
  return outcome;
}

void CopyRunner::Serve() {
  os::NameCurrentThread("full-sync-copy");
  // A cache lives for one directory run and is cleared when the copies move
  // on, as the sync's own walk does.
  os::ParentDirectoryCache directories;
  uint64_t current_run = UINT64_MAX;
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Work.wait(lock, [this] { return m_Ending || m_NextToStart < m_Slots.size(); });
    if (m_NextToStart == m_Slots.size()) return;  // ending, nothing left to start
    Slot& slot = m_Slots[m_NextToStart++];
    lock.unlock();
    if (slot.run != current_run) {
      directories.Clear();
      current_run = slot.run;
    }
    const Outcome outcome = slot.copy();
    lock.lock();
    slot.outcome = outcome;
    slot.done = true;
    m_Done.notify_all();
  }
}
