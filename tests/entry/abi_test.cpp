// The binary shape a host compiles against: widths, member offsets and vtable
// slots. A change here breaks every host built before it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "strandel/strandel.h"

namespace {

static_assert(sizeof(BOOL) == 4 && sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(UINT) == 4);
static_assert(sizeof(ULONG) == 4 && sizeof(HRESULT) == 4 && sizeof(HWND) == sizeof(void*));
static_assert(sizeof(AddStrategy) == 4 && sizeof(DelStrategy) == 4 && sizeof(RenameStrategy) == 4);
static_assert(sizeof(BSTR) == sizeof(void*));
static_assert(offsetof(WatchTaskInfo, bSetExclude) == 16);
static_assert(offsetof(WatchTaskInfo, strIncludeFilter) == 24);
static_assert(offsetof(WatchTaskInfo, bNotWatchSubDir) == 40);
static_assert(offsetof(WatchTaskInfo, bSupportUsb) == 72);
static_assert(offsetof(WatchTaskInfo, strWatchTaskName) == 80);
static_assert(offsetof(WatchTaskInfo, strShareUserPassword) == 112);
static_assert(sizeof(WatchTaskInfo) == 120);
static_assert(offsetof(HWND__, bAlive) == 4 && offsetof(HWND__, lpfnWndProc) == 8);
static_assert(offsetof(HWND__, pContext) == 16 && sizeof(HWND__) == 24);
static_assert(offsetof(SyncProgressInfo, pszFirstPath) == 8);
static_assert(offsetof(SyncProgressInfo, dwError) == 24);
static_assert(offsetof(SyncProgressInfo, nItemsListed) == 32 && sizeof(SyncProgressInfo) == 88);

// Slot numbers as a C host indexes the vtable.
template <typename F>
std::size_t SlotOf(F method) {
  static_assert(sizeof(method) == 2 * sizeof(void*));
  std::size_t raw[2];
  std::memcpy(raw, &method, sizeof raw);
  return (raw[0] - 1) / sizeof(void*);  // the Itanium ABI stores 1 + vtable offset
}

TEST(Abi, InterfaceMethodsSitInTheirComSlots) {
  EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0u);
  EXPECT_EQ(SlotOf(&IUnknown::Release), 2u);
  EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6u);
  EXPECT_EQ(SlotOf(&IWatcherMonitor::AddWatchTask), 7u);
  EXPECT_EQ(SlotOf(&IWatcherMonitor::QueryTaskInfo), 10u);
  EXPECT_EQ(SlotOf(&IWatcherMonitor::ConnectNetShare), 14u);
}

}  // namespace
