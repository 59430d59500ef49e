// What each platform's message loop provides behind os::MessageLoop, and the
// calls into the loop's handler it may make.
#pragma once

#include <cstddef>
#include <memory>

#include "os/message_loop.h"

namespace os {

class MessageLoop::Impl {
 public:
  virtual ~Impl() = default;
  // The platform's own.
  static std::unique_ptr<Impl> Make(MessageLoop& loop);

  virtual bool Start() = 0;
  virtual void Join() = 0;
  virtual void Close() = 0;
  virtual bool IsRunning() const = 0;
  virtual bool IsOwnerThread() const = 0;
  virtual std::size_t PendingMessages() const = 0;
  virtual bool Post(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Only from threads other than the owner.
  virtual LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual UINT SetTimer(UINT id, UINT period_ms) = 0;
  virtual bool KillTimer(UINT id) = 0;
  virtual bool IsTimerArmed(UINT id) const = 0;
  virtual void QuitLoop() = 0;

 protected:
  explicit Impl(MessageLoop& loop) : loop_(loop) {}
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    return loop_.Dispatch(message, wParam, lParam);
  }
  void OnLoopStart() { loop_.OnLoopStart(); }
  void OnLoopEnd() { loop_.OnLoopEnd(); }

 private:
  MessageLoop& loop_;
};

}  // namespace os
