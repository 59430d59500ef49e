// A thread with its own message queue: what a window and a framework thread
// are to the module. Other threads post messages to it, or send one and block
// until its handler has returned the result; timers post WM_TIMER. The
// thread serves sent messages first, then posted ones in order, then due
// timers (at most one WM_TIMER pending per timer).
//
// Windows: a message-only window (HWND_MESSAGE) owned by the thread, with
// PostMessageW, SendMessageW and SetTimer; a sender blocked on it serves
// messages sent to its own thread meanwhile, as Windows does. While a test
// has installed a clock other than the system's (os/clock.h), timers are
// kept on that clock instead, looked at every few milliseconds.
// Linux: a queue served by the thread, with timers on the module clock.
//
// Threads: Start() runs the loop on a new thread, the owner; Dispatch is only
// ever called there. Post, Send, SetTimer and KillTimer are safe from any
// thread. Once the loop has ended, Post fails and Send returns 0 at once.
#pragma once

#include <cstddef>
#include <memory>

#include "strandel/strandel.h"

// The Windows values, under the names Windows gives them; there they come
// from <windows.h>.
#ifndef _WIN32
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr WPARAM SC_CLOSE = 0xF060;
#endif

namespace os {

class MessageLoop {
 public:
  MessageLoop();
  virtual ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Starts the owning thread; it calls OnLoopStart first.
  bool Start();
  // Waits for the owning thread to end (not from the owning thread).
  void Join();
  // Ends the loop from outside, after the message being served, and waits for
  // the thread. A derived class calls it in its destructor, before its own
  // members go.
  void Stop();
  bool IsRunning() const;
  bool IsOwnerThread() const;
  // Sent and posted messages not yet served.
  std::size_t PendingMessages() const;

  bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // From the owning thread the handler is called directly.
  LRESULT SendMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // (Re)arms timer id to fire every period_ms; 0 when the loop has ended.
  UINT SetTimer(UINT id, UINT period_ms);
  bool KillTimer(UINT id);
  bool IsTimerArmed(UINT id) const;

  // Ends the loop after the current message (owning thread). Senders still
  // waiting get 0.
  void QuitLoop();

  class Impl;  // the platform's (os/message_loop_impl.h)

 protected:
  virtual LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual void OnLoopStart() {}
  virtual void OnLoopEnd() {}

 private:
  friend class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace os
