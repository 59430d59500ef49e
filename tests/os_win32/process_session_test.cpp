// Accounts, sessions, impersonation, process start and the small process
// services on Windows, against the real system calls.
//
// Some cases start this test program again as a child: with kChildFlag as its
// first argument it does the child's work before any test runs (a static
// initializer) and exits.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
// clang-format on

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "os/host_window.h"
#include "os/impersonation.h"
#include "os/last_error.h"
#include "os/module_path.h"
#include "os/named_event.h"
#include "os/named_mutex.h"
#include "os/process.h"
#include "os/session.h"
#include "os/system_info.h"
#include "os/text.h"
#include "os/thread_identity.h"
#include "os/thread_name.h"
#include "os/trace_sink.h"
#include "test_support.h"

namespace {

constexpr wchar_t kChildFlag[] = L"--strandel-test-child";
constexpr int kChildExitCode = 23;

std::wstring Variable(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return L"(unset)";
  std::wstring value(size, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// Child modes, chosen by the argument after kChildFlag:
//   argv   writes its arguments and a few variables, NUL-separated, to the
//          file named by STRANDEL_TEST_OUT
//   sleep  sleeps two seconds
//   trace  traces two messages through os::TraceOutput
int RunChild(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 2 ? argv[2] : L"";
  if (mode == L"sleep") {
    ::Sleep(2000);
    return kChildExitCode;
  }
  if (mode == L"trace") {
    os::TraceOutput("one\n");
    os::TraceOutput("two\n");
    return kChildExitCode;
  }
  std::string out;
  for (int i = 3; i < argc; ++i) out += os::ToUtf8(argv[i]) + '\0';
  for (const wchar_t* name : {L"STRANDEL_TEST_VALUE", L"USERPROFILE", L"STRANDEL_TEST_PARENT"}) {
    out += os::ToUtf8(std::wstring(name) + L"=" + Variable(name)) + '\0';
  }
  HANDLE file = ::CreateFileW(Variable(L"STRANDEL_TEST_OUT").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  ::WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  ::CloseHandle(file);
  return kChildExitCode;
}

const bool g_child_checked = [] {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv != nullptr && argc > 1 && std::wstring(argv[1]) == kChildFlag) {
    ::ExitProcess(static_cast<UINT>(RunChild(argc, argv)));
  }
  ::LocalFree(argv);
  return true;
}();

std::string SelfPath() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return os::ToUtf8(path);
}

std::string TempFile(const char* name) {
  wchar_t dir[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, dir);
  return os::ToUtf8(dir) + "strandel-" + std::to_string(::GetCurrentProcessId()) + "-" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(os::FromUtf8(path).c_str(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Records(const std::string& text) {
  std::vector<std::string> records;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    records.push_back(text.substr(start, end - start));
  }
  return records;
}

os::UserToken OwnToken() {
  const auto token = os::TokenForUid(os::CurrentFsUid());
  EXPECT_TRUE(token.has_value()) << os::GetLastError();
  return token.value_or(os::UserToken{});
}

// --- Accounts and sessions ---------------------------------------------------

TEST(AccountTest, TokenForOwnUidIsAUsableLogonToken) {
  const os::UserId uid = os::CurrentFsUid();
  ASSERT_NE(uid, os::kNoUserId);
  const os::UserToken token = OwnToken();
  EXPECT_EQ(token.uid, uid);
  EXPECT_FALSE(token.name.empty());
  EXPECT_EQ(token.name, os::CurrentUserName());
  EXPECT_EQ(os::UserNameOf(uid), token.name);
  EXPECT_FALSE(token.home.empty());
  ASSERT_TRUE(token.handle);
  TOKEN_TYPE type{};
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.handle.get(), TokenType, &type, sizeof type, &size));
  EXPECT_EQ(type, TokenPrimary) << "a process is started with it";
}

TEST(AccountTest, UnknownUidHasNoToken) {
  EXPECT_FALSE(os::TokenForUid(0x7FFFFFF0u).has_value());
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
  EXPECT_EQ(os::UserNameOf(0x7FFFFFF0u), std::to_string(0x7FFFFFF0u));
}

class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    os::SetSessionSourceForTest({});
    os::SetSessionLibraryNameForTest("");
  }
};

TEST_F(SessionTest, MissingLibraryAndMissingCallsAreTold) {
  os::SetSessionLibraryNameForTest("strandel-no-such-library.dll");
  {
    os::SessionLibrary library;
    EXPECT_FALSE(library.loaded());
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(library.EnumerateSessions().has_value());
    EXPECT_EQ(library.ActiveConsoleSessionId(), os::kNoSession);
  }
  os::SetSessionLibraryNameForTest("kernel32.dll");  // present, without the calls
  os::SessionLibrary library;
  EXPECT_TRUE(library.loaded());
  EXPECT_FALSE(library.has_session_calls());
  EXPECT_FALSE(library.EnumerateSessions().has_value());
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(library.QueryUserToken(1).has_value());
}

TEST_F(SessionTest, ReplacedSourceAnswersEveryQuestion) {
  const os::UserId me = os::CurrentFsUid();
  os::SetSessionSourceForTest([me] {
    return std::vector<os::Session>{{5, false, 0x7FFFFFF0u}, {9, true, me}};
  });
  os::SessionLibrary library;
  ASSERT_TRUE(library.loaded());
  EXPECT_EQ(library.ActiveConsoleSessionId(), 9u);
  EXPECT_EQ(library.ActiveConsoleUid(), me);
  const auto token = library.QueryUserToken(9);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(token->uid, me);
  EXPECT_TRUE(token->handle);
  EXPECT_FALSE(library.QueryUserToken(5).has_value()) << "not active";
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));

  os::SetSessionSourceForTest([] { return std::optional<std::vector<os::Session>>(); });
  os::SessionLibrary unlisted;
  EXPECT_FALSE(unlisted.ActiveConsoleUid().has_value());
  EXPECT_EQ(unlisted.ActiveConsoleSessionId(), os::kNoSession);
}

TEST_F(SessionTest, OwnSessionGivesOwnUser) {
  os::SessionLibrary library;
  ASSERT_TRUE(library.loaded());
  ASSERT_TRUE(library.has_session_calls());
  DWORD own = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &own));
  // Not LocalSystem: WTSQueryUserToken is refused, the process's own token
  // stands in for its own session.
  const auto token = library.QueryUserToken(own);
  ASSERT_TRUE(token.has_value()) << os::GetLastError();
  EXPECT_EQ(token->uid, os::CurrentFsUid());
  const auto sessions = library.EnumerateSessions();
  ASSERT_TRUE(sessions.has_value()) << os::GetLastError();
  bool listed = false;
  for (const os::Session& s : *sessions) {
    if (s.id == own) {
      listed = true;
      EXPECT_EQ(s.uid, os::CurrentFsUid());
    }
  }
  EXPECT_TRUE(listed);
}

// --- Impersonation and privileges --------------------------------------------

bool ThreadHasToken() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

TEST(ImpersonationTest, NestedRestoresGoBackOneLevelEach) {
  const os::UserToken token = OwnToken();
  ASSERT_FALSE(ThreadHasToken());
  const auto outer = os::Impersonate(token);
  ASSERT_TRUE(outer.has_value()) << os::GetLastError();
  EXPECT_TRUE(ThreadHasToken());
  EXPECT_EQ(os::CurrentFsUid(), token.uid);
  const auto inner = os::Impersonate(token);
  ASSERT_TRUE(inner.has_value()) << os::GetLastError();
  os::RevertIdentity(*inner);
  EXPECT_TRUE(ThreadHasToken()) << "the outer level still acts as the user";
  os::RevertIdentity(*outer);
  EXPECT_FALSE(ThreadHasToken());

  EXPECT_FALSE(os::Impersonate(os::UserToken{}).has_value()) << "no logon token";
  EXPECT_FALSE(ThreadHasToken());
}

TEST(ImpersonationTest, PrivilegesAreReallyEnabledOrRefused) {
  EXPECT_FALSE(os::EnablePrivilege("SeStrandelNoSuchPrivilege"));
  EXPECT_EQ(os::GetLastError(), 1313u);
  // Every account holds this one.
  EXPECT_TRUE(os::EnablePrivilege("SeChangeNotifyPrivilege")) << os::GetLastError();
  // A user-run process does not hold SeTcbPrivilege (LocalSystem does).
  const bool tcb = os::EnablePrivilege("SeTcbPrivilege");
  if (tcb && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: its user token holds SeTcbPrivilege";
  }
  if (!tcb) {
    EXPECT_EQ(os::GetLastError(), 1300u);
  }
}

// --- Starting programs -------------------------------------------------------

TEST(ProcessTest, ArgumentsAndEnvironmentArriveIntact) {
  const std::string out = TempFile("argv");
  ::SetEnvironmentVariableW(L"STRANDEL_TEST_PARENT", L"leaks");
  const std::vector<std::string> arguments = {"two words",
                                              "quote\"inside",
                                              "trailing backslash\\",
                                              "back\\\\\"slash",
                                              "",
                                              "C:\\dir with space\\",
                                              "\t",
                                              "a\\\\b c",
                                              "\xC3\xBC\xE2\x82\xAC \xE5\xAD\x97"};
  std::vector<std::string> argv = {SelfPath(), os::ToUtf8(kChildFlag), "argv"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  os::StartOptions options;
  options.wait = true;
  options.extra_environment = {"STRANDEL_TEST_OUT=" + out, "STRANDEL_TEST_VALUE=a b=c",
                               "userprofile=C:\\elsewhere"};
  const os::StartResult run = os::StartProcess(OwnToken(), argv, options);
  ::SetEnvironmentVariableW(L"STRANDEL_TEST_PARENT", nullptr);
  ASSERT_TRUE(run.started) << os::GetLastError();
  EXPECT_EQ(run.exit_status, kChildExitCode);

  std::vector<std::string> expected = arguments;
  expected.push_back("STRANDEL_TEST_VALUE=a b=c");
  expected.push_back("USERPROFILE=C:\\elsewhere");     // replaced whatever its case
  expected.push_back("STRANDEL_TEST_PARENT=(unset)");  // the host's own is not passed on
  EXPECT_EQ(Records(ReadFile(out)), expected);
  ::DeleteFileW(os::FromUtf8(out).c_str());
}

TEST(ProcessTest, ExitCodesAndProgramLookup) {
  const os::UserToken token = OwnToken();
  os::StartOptions wait;
  wait.wait = true;
  // "cmd" has no directory and no extension: searched in PATH, ".exe" added.
  os::StartResult run = os::StartProcess(token, {"cmd", "/c", "exit", "7"}, wait);
  ASSERT_TRUE(run.started) << os::GetLastError();
  EXPECT_EQ(run.exit_status, 7);

  run = os::StartProcess(token, {"cmd", "/c", "exit", "0"}, {});
  EXPECT_TRUE(run.started);
  EXPECT_EQ(run.exit_status, -1) << "not waited for";

  run = os::StartProcess(token, {"strandel-no-such-program"}, wait);
  EXPECT_FALSE(run.started);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  run = os::StartProcess(token, {"C:\\strandel-no-such-dir\\program.exe"}, wait);
  EXPECT_FALSE(run.started);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  os::UserToken stranger;
  stranger.uid = 0x7FFFFFF0u;
  EXPECT_FALSE(os::StartProcess(stranger, {"cmd", "/c", "exit", "0"}, wait).started);
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(ProcessTest, OnlyTheStandardHandlesAreInherited) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, &inherit, 0));
  const os::StartResult run = os::StartProcess(
      OwnToken(), {SelfPath(), os::ToUtf8(kChildFlag), "sleep"}, os::StartOptions{});
  ::CloseHandle(write_end);
  ASSERT_TRUE(run.started) << os::GetLastError();
  // With our write end closed, the pipe is broken unless the (still sleeping)
  // child got a copy.
  DWORD available = 0;
  const BOOL peeked = ::PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(read_end);
  EXPECT_FALSE(peeked);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

TEST(ProcessTest, AccountEnvironmentIsTheUsersLogin) {
  const std::vector<std::string> env = os::AccountEnvironment(OwnToken());
  bool has_path = false;
  for (const std::string& entry : env) {
    EXPECT_NE(entry.find('=', 1), std::string::npos) << entry;
    if (_strnicmp(entry.c_str(), "PATH=", 5) == 0) has_path = true;
  }
  EXPECT_TRUE(has_path);
}

TEST(ProcessTest, TraceFileIsAppendedOneMessageAtATime) {
  const std::string trace = TempFile("trace.log");
  { std::ofstream(os::FromUtf8(trace).c_str(), std::ios::binary) << "before\n"; }
  os::StartOptions options;
  options.wait = true;
  options.extra_environment = {"STRANDEL_TRACE=" + trace};
  const os::StartResult run =
      os::StartProcess(OwnToken(), {SelfPath(), os::ToUtf8(kChildFlag), "trace"}, options);
  ASSERT_TRUE(run.started) << os::GetLastError();
  EXPECT_EQ(ReadFile(trace), "before\none\ntwo\n");
  ::DeleteFileW(os::FromUtf8(trace).c_str());
}

// --- Named mutex and event ---------------------------------------------------

TEST(NamedMutexTest, ExcludesOtherThreadsAndIsReentrant) {
  const std::string path = TempFile("mutex.lock");
  ::DeleteFileW(os::FromUtf8(path).c_str());
  os::NamedMutex mutex(path);
  // Another spelling of the same file names the same lock.
  std::string other_spelling = path;
  for (char& c : other_spelling) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  os::NamedMutex same(other_spelling);
  EXPECT_EQ(mutex.path(), path);

  ASSERT_TRUE(mutex.Lock());
  ASSERT_TRUE(mutex.Lock()) << "re-entrant for its owner";
  EXPECT_NE(::GetFileAttributesW(os::FromUtf8(path).c_str()), INVALID_FILE_ATTRIBUTES)
      << "the lock file exists";
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    same.Lock();
    acquired = true;
    same.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  mutex.Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(acquired) << "still held once";

  // Held: another process (of any session) meets the lock on the file.
  HANDLE file = ::CreateFileW(os::FromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  OVERLAPPED at{};
  EXPECT_FALSE(
      ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));

  mutex.Unlock();
  other.join();
  EXPECT_TRUE(acquired);
  at = OVERLAPPED{};
  EXPECT_TRUE(::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
      << "released";
  ::CloseHandle(file);

  mutex.Unlock();  // not held: ignored
  ASSERT_TRUE(same.Lock());
  same.Unlock();
  ::DeleteFileW(os::FromUtf8(path).c_str());
}

TEST(NamedMutexTest, UnopenableLockFileStillExcludesThisProcess) {
  const std::string path = "C:\\strandel-no-such-dir\\x.lock";
  os::NamedMutex mutex(path);
  EXPECT_FALSE(mutex.Lock()) << "the lock file cannot be made";
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    os::NamedMutex same(path);
    same.Lock();
    acquired = true;
    same.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(acquired);
  mutex.Unlock();
  other.join();
  EXPECT_TRUE(acquired);
}

// Another process reaches the event by its name through the system, as
// this raw open does.
TEST(NamedEventTest, IsASystemObjectOpenedByName) {
  auto event = os::CreateNamedEvent("strandel-test-system-event", true, false);
  ASSERT_NE(event, nullptr);
  const HANDLE raw =
      ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, L"strandel-test-system-event");
  ASSERT_NE(raw, nullptr);
  ::SetEvent(raw);
  EXPECT_EQ(event->Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
  event->Reset();
  EXPECT_EQ(::WaitForSingleObject(raw, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::CloseHandle(raw);
}

// --- Small services ----------------------------------------------------------

LRESULT CALLBACK Reply42(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP + 1) return 42 + static_cast<LRESULT>(wparam);
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

TEST(SmallServicesTest, HostWindowIsReachedWhileItLives) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = Reply42;
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"StrandelTestHost";
  ::RegisterClassW(&window_class);
  HWND window = ::CreateWindowExW(0, L"StrandelTestHost", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(os::IsHostWindow(window));
  EXPECT_EQ(os::SendToHostWindow(window, WM_APP + 1, 1, 0), 43);
  ::DestroyWindow(window);
  EXPECT_FALSE(os::IsHostWindow(window));
  EXPECT_EQ(os::SendToHostWindow(window, WM_APP + 1, 1, 0), 0);
  EXPECT_FALSE(os::IsHostWindow(nullptr));
}

TEST(SmallServicesTest, ModuleDirectoryTimestampAndThreadName) {
  const std::wstring directory = os::ModuleDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), L'\\');
  EXPECT_EQ(os::FromUtf8(SelfPath()).rfind(directory, 0), 0u) << "the test program lies there";

  const std::string stamp = os::UtcTimestampNow();
  ASSERT_EQ(stamp.size(), 19u) << stamp;
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '#';
    if (expected == '#') {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
    } else {
      EXPECT_EQ(stamp[i], expected) << stamp;
    }
  }
  SYSTEMTIME utc;
  ::GetSystemTime(&utc);
  EXPECT_EQ(std::stoi(stamp.substr(0, 4)), utc.wYear);
  const os::LocalTime local = os::LocalTimeNow();
  EXPECT_GE(local.month, 1);
  EXPECT_LE(local.millisecond, 999);
  EXPECT_EQ(os::ProcessId(), ::GetCurrentProcessId());

  os::NameCurrentThread("strandel-test");
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (get == nullptr) GTEST_SKIP() << "no thread descriptions on this system";
  PWSTR description = nullptr;
  ASSERT_TRUE(SUCCEEDED(get(::GetCurrentThread(), &description)));
  EXPECT_STREQ(description, L"strandel-test");
  ::LocalFree(description);
}

}  // namespace
