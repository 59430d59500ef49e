#include "password_prompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace host {
namespace {

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
  termios saved{};
  const bool is_terminal = ::tcgetattr(tty, &saved) == 0;
  if (is_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  Write(tty, "Password for " + user + ": ");
  bool ok = false;
  std::string password = ReadLine(tty, &ok);
  if (is_terminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
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
