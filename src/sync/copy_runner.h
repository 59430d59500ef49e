// CopyRunner: copies of a full sync run on a few helper threads while the
// sync's own thread goes on comparing the next items. Their outcomes are
// taken back in the order the copies were handed in, so whatever the caller
// does with an outcome (its history row, a retry the host asks for) happens
// in the same order as if each copy had run in its turn.
//
// Threads: Add, Pending and TakeOldest belong to the thread that made the
// runner. A copy runs on a helper thread with a parent-directory cache of
// its own, which is cleared whenever the copies move to another directory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "os/last_error.h"

class CopyRunner {
 public:
  struct Outcome {
    bool copied = false;
    DWORD error = ERROR_SUCCESS;
  };

  // threads: how many helpers; at least one is started.
  explicit CopyRunner(std::size_t threads);
  // Lets every copy handed in finish first.
  ~CopyRunner();
  CopyRunner(const CopyRunner&) = delete;
  CopyRunner& operator=(const CopyRunner&) = delete;

  // Hands in a copy. run names the directory run the copy belongs to: copies
  // of one run may share resolved directories, those of another may not.
  void Add(std::function<Outcome()> copy, uint64_t run);
  // Copies handed in whose outcome was not taken yet.
  std::size_t Pending();
  // Waits for the oldest copy handed in and gives its outcome. Only with
  // Pending() > 0.
  Outcome TakeOldest();

  // Helpers worth starting on this machine.
  static std::size_t DefaultThreads();

 private:
  struct Slot {
    std::function<Outcome()> copy;
    uint64_t run = 0;
    bool done = false;
    Outcome outcome;
  };

  void Serve();

  std::mutex m_Mutex;
  std::condition_variable m_Work;  // a copy was handed in, or the runner ends
  std::condition_variable m_Done;  // a copy finished
  std::deque<Slot> m_Slots;        // oldest first; guarded by m_Mutex
  std::size_t m_NextToStart = 0;   // index into m_Slots; guarded by m_Mutex
  bool m_Ending = false;           // guarded by m_Mutex
  std::vector<std::thread> m_Threads;
};
