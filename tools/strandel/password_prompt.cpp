#include "password_prompt.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace host {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What a stop signal during the prompt puts back; set before its handler is
// installed, read only by the handler.
int g_quiet_tty = -1;
termios g_saved_mode{};

// Gives the terminal its echo back, then lets the signal end the process as
// it would have: the shell then sees a command interrupted by Ctrl-C.
void RestoreAndResend(int signal) {
  ::tcsetattr(g_quiet_tty, TCSAFLUSH, &g_saved_mode);
  [[maybe_unused]] const ssize_t ignored = ::write(g_quiet_tty, "\n", 1);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// The terminal without echo for the life of the object, whether the prompt
// ends with a line or with a signal.
class QuietTerminal {
 public:
  explicit QuietTerminal(int tty) : tty_(tty) {
    if (::tcgetattr(tty, &g_saved_mode) != 0) return;
    g_quiet_tty = tty;
    struct sigaction restore {};
    restore.sa_handler = RestoreAndResend;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
      ::sigaction(kStopSignals[i], &restore, &previous_[i]);
    }
    termios quiet = g_saved_mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
    active_ = true;
  }
  ~QuietTerminal() {
    if (!active_) return;
    ::tcsetattr(tty_, TCSAFLUSH, &g_saved_mode);
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
      ::sigaction(kStopSignals[i], &previous_[i], nullptr);
    }
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;

 private:
  int tty_;
  bool active_ = false;
  struct sigaction previous_[std::size(kStopSignals)]{};
};

std::string ReadLine(int fd, bool* ok) {
  std::string line;
  char c;
  ssize_t n;
  while ((n = ::read(fd, &c, 1)) == 1 && c != '\n') line.push_back(c);
  *ok = n >= 0 && (n == 1 || !line.empty());
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void Write(int fd, const std::string& text) {
  if (::write(fd, text.data(), text.size()) < 0) return;  // a prompt that cannot show is no error
}

}  // namespace

std::optional<std::string> ReadPasswordFromTerminal(const std::string& user, std::string* error) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    *error =
        "no terminal to read the share password from; pass it on standard input with "
        "--share-password-stdin";
    return std::nullopt;
  }
  bool ok = false;
  std::string password;
  {
    const QuietTerminal quiet(tty);
    Write(tty, "Password for " + user + ": ");
    password = ReadLine(tty, &ok);
  }
  Write(tty, "\n");
  ::close(tty);
  if (!ok) {
    *error = "no password was entered";
    return std::nullopt;
  }
  return password;
}

std::optional<std::string> ReadPasswordFromStdin(std::string* error) {
  bool ok = false;
  std::string password = ReadLine(STDIN_FILENO, &ok);
  if (!ok) {
    *error = "standard input held no password";
    return std::nullopt;
  }
  return password;
}

}  // namespace host
