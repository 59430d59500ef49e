// One task command as the command line gave it, in a form that can travel to
// a running daemon over its socket and be carried out there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "strandel/strandel.h"

namespace host {

// What add and edit set; an empty field keeps what the task has (edit) or the
// default (add).
struct TaskChanges {
  std::optional<std::string> source;  // absolute
  std::optional<std::string> dest;    // absolute
  std::optional<bool> two_way;
  std::optional<bool> top_level_only;
  std::optional<bool> realtime;
  std::optional<bool> usb;
  std::optional<bool> fail_report;
  std::optional<std::string> include;  // "" switches the filter off
  std::optional<std::string> exclude;
  std::optional<AddStrategy> on_add;
  std::optional<DelStrategy> on_delete;
  std::optional<RenameStrategy> on_rename;
  std::optional<uint32_t> every_ms;  // 0 switches the schedule off
  std::optional<std::string> share_user;
  std::optional<std::string> share_password;
};

struct Request {
  std::string command;  // "add", "edit", "remove", "list", "show" or "sync"
  std::string name;     // sync: empty for every task
  bool json = false;
  bool if_missing = false;  // add: a task of that name over the same pair is fine
  bool can_ask = false;     // sync: the user answers questions about failed items
  TaskChanges changes;
};

// Flat string lists for the socket; Decode refuses anything Encode cannot make.
std::vector<std::string> Encode(const Request& request);
std::optional<Request> Decode(const std::vector<std::string>& fields);

}  // namespace host
