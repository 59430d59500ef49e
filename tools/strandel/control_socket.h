// The daemon's Unix socket in the data directory: how a command reaches the
// running daemon instead of starting a second module over the same tasks.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "os/linux/unique_fd.h"

namespace host {

using os::UniqueFd;

constexpr const char* kSocketName = "strandel.sock";

// Listens on the data directory's socket, mode 0600, replacing a stale one;
// refuses when something else (a symbolic link, a file) has its name. The
// caller holds the daemon lock, so no other daemon owns the file.
UniqueFd ListenOnSocket(const std::filesystem::path& data_dir, std::string* error);

// Connects to a running daemon; invalid when none listens, or when the
// socket's name is a symbolic link.
UniqueFd ConnectToDaemon(const std::filesystem::path& data_dir);

// Length-prefixed string lists, both directions.
bool SendStrings(int fd, const std::vector<std::string>& strings);
std::optional<std::vector<std::string>> ReceiveStrings(int fd);

// True when the peer runs as this user (or as root).
bool PeerIsTrusted(int fd);

}  // namespace host
