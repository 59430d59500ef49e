#include "remote_sync_channel.h"

#include <poll.h>

#include <cerrno>
#include <charconv>

namespace host {
namespace {

constexpr auto kProgressGap = std::chrono::milliseconds(100);

}  // namespace

RemoteSyncChannel::RemoteSyncChannel(UniqueFd client, int syncs, bool can_ask, int stop_fd)
    : client_(std::move(client)), remaining_(syncs), can_ask_(can_ask), stop_fd_(stop_fd) {}

LRESULT RemoteSyncChannel::Deliver(const SyncReport& report) {
  if (report.operation == kSyncEnd) {
    any_failed_ |= report.failed > 0;
    Send(report.Fields());
    if (--remaining_ == 0) {
      Send({any_failed_ ? "1" : "0", "", ""});
      client_ = UniqueFd();
    }
    return 0;
  }
  const auto now = std::chrono::steady_clock::now();
  if (report.error == 0 && report.operation != kListing && now - sent_ < kProgressGap) return 0;
  sent_ = now;
  Send(report.Fields());
  return report.error != 0 && report.ask && can_ask_ ? AwaitReply() : 0;
}

void RemoteSyncChannel::Send(const std::vector<std::string>& fields) {
  // A client that went away, or stalls past the socket's time limit, is
  // dropped; its syncs still run to their end.
  if (client_.valid() && !SendStrings(client_.get(), fields)) client_ = UniqueFd();
}

LRESULT RemoteSyncChannel::AwaitReply() {
  while (client_.valid()) {
    pollfd fds[2] = {{client_.get(), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    const auto reply = ReceiveStrings(client_.get());
    LRESULT value = 0;
    if (!reply || reply->size() != 2 || reply->at(0) != "reply" ||
        std::from_chars(reply->at(1).data(), reply->at(1).data() + reply->at(1).size(), value).ec !=
            std::errc()) {
      client_ = UniqueFd();
      break;
    }
    return value == -1 || value == -2 ? value : 0;
  }
  return 0;
}

}  // namespace host
