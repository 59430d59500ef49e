#include "request.h"

#include <charconv>
#include <functional>
#include <map>

namespace host {
namespace {

// The fields every request has, before the task changes.
constexpr size_t kHeader = 5;

// Each optional field travels as a key and its text.
struct Codec {
  std::function<std::optional<std::string>(const TaskChanges&)> write;
  std::function<bool(TaskChanges&, const std::string&)> read;
};

template <typename T>
std::optional<std::string> Text(const std::optional<T>& value) {
  if (!value) return std::nullopt;
  if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else {
    return std::to_string(static_cast<int64_t>(*value));
  }
}

template <typename T>
bool Parse(std::optional<T>& value, const std::string& text) {
  if constexpr (std::is_same_v<T, std::string>) {
    value = text;
    return true;
  } else {
    int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    value = static_cast<T>(number);
    return true;
  }
}

template <typename T>
Codec Field(std::optional<T> TaskChanges::*member) {
  return {[member](const TaskChanges& c) { return Text(c.*member); },
          [member](TaskChanges& c, const std::string& text) { return Parse(c.*member, text); }};
}

const std::map<std::string, Codec>& Codecs() {
  static const auto* codecs = new std::map<std::string, Codec>{
      {"source", Field(&TaskChanges::source)},
      {"dest", Field(&TaskChanges::dest)},
      {"two_way", Field(&TaskChanges::two_way)},
      {"top_level_only", Field(&TaskChanges::top_level_only)},
      {"realtime", Field(&TaskChanges::realtime)},
      {"usb", Field(&TaskChanges::usb)},
      {"fail_report", Field(&TaskChanges::fail_report)},
      {"include", Field(&TaskChanges::include)},
      {"exclude", Field(&TaskChanges::exclude)},
      {"on_add", Field(&TaskChanges::on_add)},
      {"on_delete", Field(&TaskChanges::on_delete)},
      {"on_rename", Field(&TaskChanges::on_rename)},
      {"every_ms", Field(&TaskChanges::every_ms)},
      {"share_user", Field(&TaskChanges::share_user)},
      {"share_password", Field(&TaskChanges::share_password)},
  };
  return *codecs;
}

}  // namespace

std::vector<std::string> Encode(const Request& request) {
  std::vector<std::string> fields{request.command, request.name, request.json ? "1" : "0",
                                  request.if_missing ? "1" : "0", request.can_ask ? "1" : "0"};
  for (const auto& [key, codec] : Codecs()) {
    if (auto text = codec.write(request.changes)) {
      fields.push_back(key);
      fields.push_back(std::move(*text));
    }
  }
  return fields;
}

std::optional<Request> Decode(const std::vector<std::string>& fields) {
  if (fields.size() < kHeader || (fields.size() - kHeader) % 2 != 0) return std::nullopt;
  Request request;
  request.command = fields[0];
  request.name = fields[1];
  request.json = fields[2] == "1";
  request.if_missing = fields[3] == "1";
  request.can_ask = fields[4] == "1";
  for (size_t i = kHeader; i + 1 < fields.size(); i += 2) {
    const auto codec = Codecs().find(fields[i]);
    if (codec == Codecs().end() || !codec->second.read(request.changes, fields[i + 1])) {
      return std::nullopt;
    }
  }
  return request;
}

}  // namespace host
