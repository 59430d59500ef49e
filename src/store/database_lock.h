// The database lock: every access to Strandel.db, by any thread of the module
// or by another process on the same file, happens while holding it. A scope
// object: constructed empty or holding, released on destruction if still held.
#pragma once

#include "os/named_mutex.h"

class CDatabaseLock {
 public:
  CDatabaseLock() = default;
  explicit CDatabaseLock(os::NamedMutex& mutex) { Acquire(mutex); }
  ~CDatabaseLock() { Release(); }
  CDatabaseLock(const CDatabaseLock&) = delete;
  CDatabaseLock& operator=(const CDatabaseLock&) = delete;

  void Acquire(os::NamedMutex& mutex) {
    Release();
    mutex.Lock();
    m_pMutex = &mutex;
  }
  void Release() {
    if (m_pMutex != nullptr) m_pMutex->Unlock();
    m_pMutex = nullptr;
  }

 private:
  os::NamedMutex* m_pMutex = nullptr;
};
