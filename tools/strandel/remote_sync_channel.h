// The daemon's side of a `strandel sync` that reached it over the socket:
// the reports of the client's syncs go back over the client's connection,
// thinned out to a few a second except for listings, failures and ends; a
// question is answered by the client. After the last of its syncs ends the
// client gets its exit status and the connection closes.
//
// Threads: Deliver runs on the module's sync thread, one report at a time.
#pragma once

#include <chrono>

#include "control_socket.h"
#include "sync_router.h"

namespace host {

class RemoteSyncChannel final : public SyncChannel {
 public:
  // syncs: how many ends to wait for; stop_fd: readable when the daemon stops,
  // which gives up a question the client has not answered.
  RemoteSyncChannel(UniqueFd client, int syncs, bool can_ask, int stop_fd);
  LRESULT Deliver(const SyncReport& report) override;

 private:
  void Send(const std::vector<std::string>& fields);
  LRESULT AwaitReply();

  UniqueFd client_;
  int remaining_;
  bool can_ask_;
  int stop_fd_;
  bool any_failed_ = false;
  std::chrono::steady_clock::time_point sent_{};
};

}  // namespace host
