// The message loop on Windows is a real message-only window: other code
// reaches it with the system's calls, and nothing of it outlives the loops.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "os/message_loop.h"

namespace {

constexpr UINT kAnswer = WM_USER + 7;

class AnsweringLoop : public os::MessageLoop {
 public:
  ~AnsweringLoop() override { Stop(); }
  std::atomic<DWORD> served_on{0};

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM) override {
    if (message != kAnswer) return 0;
    served_on = ::GetCurrentThreadId();
    return static_cast<LRESULT>(wParam) + 1;
  }
};

HWND LoopWindow() {
  return ::FindWindowExW(HWND_MESSAGE, nullptr, L"StrandelMessageLoop", nullptr);
}

// The loop's code is linked into this program, which therefore registers the class.
bool ClassRegistered() {
  WNDCLASSEXW found{};
  found.cbSize = sizeof found;
  return ::GetClassInfoExW(::GetModuleHandleW(nullptr), L"StrandelMessageLoop", &found) != FALSE;
}

TEST(MessageWindow, TheLoopIsAMessageOnlyWindowThatGoesWithIt) {
  {
    AnsweringLoop loop;
    ASSERT_TRUE(loop.Start());
    const HWND window = LoopWindow();
    ASSERT_NE(window, nullptr);
    // A plain SendMessageW reaches the handler, on the loop's thread.
    EXPECT_EQ(::SendMessageW(window, kAnswer, 41, 0), 42);
    EXPECT_EQ(loop.served_on.load(), ::GetWindowThreadProcessId(window, nullptr));
    EXPECT_NE(loop.served_on.load(), ::GetCurrentThreadId());
    EXPECT_TRUE(ClassRegistered());
  }
  EXPECT_EQ(LoopWindow(), nullptr);
  // The class went with its last window, so an unloaded module leaves none.
  EXPECT_FALSE(ClassRegistered());
}

}  // namespace
