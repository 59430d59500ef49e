#include "sync_router.h"

#include <algorithm>
#include <charconv>

#include "os/text.h"

namespace host {
namespace {

constexpr const char* kReportTag = "report";

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

std::string Utf8(const wchar_t* text) { return text != nullptr ? os::ToUtf8(text) : std::string(); }

}  // namespace

SyncReport SyncReport::From(const SyncProgressInfo& info) {
  SyncReport report;
  report.operation = info.nOperation;
  report.first = Utf8(info.pszFirstPath);
  report.second = Utf8(info.pszSecondPath);
  report.error = info.dwError;
  report.ask = info.bAsk != 0;
  report.listed = info.nItemsListed;
  report.listed_bytes = info.nBytesListed;
  report.checked = info.nItemsChecked;
  report.checked_bytes = info.nBytesChecked;
  report.done = info.nItemsDone;
  report.failed = info.nItemsFailed;
  report.copied_bytes = info.nBytesCopied;
  return report;
}

std::vector<std::string> SyncReport::Fields() const {
  std::vector<std::string> fields{kReportTag,     task,   std::to_string(operation),
                                  first,          second, std::to_string(error),
                                  ask ? "1" : "0"};
  for (uint64_t n : {listed, listed_bytes, checked, checked_bytes, done, failed, copied_bytes}) {
    fields.push_back(std::to_string(n));
  }
  return fields;
}

std::optional<SyncReport> SyncReport::Parse(const std::vector<std::string>& fields) {
  if (fields.size() != 14 || fields[0] != kReportTag) return std::nullopt;
  SyncReport report;
  report.task = fields[1];
  report.first = fields[3];
  report.second = fields[4];
  report.ask = fields[6] == "1";
  bool valid = ParseNumber(fields[2], &report.operation) && ParseNumber(fields[5], &report.error);
  uint64_t* totals[] = {&report.listed,        &report.listed_bytes, &report.checked,
                        &report.checked_bytes, &report.done,         &report.failed,
                        &report.copied_bytes};
  for (size_t i = 0; i < std::size(totals); ++i) valid &= ParseNumber(fields[7 + i], totals[i]);
  if (!valid) return std::nullopt;
  return report;
}

SyncRouter::SyncRouter() {
  window_.cbSize = sizeof(window_);
  window_.bAlive = 1;
  window_.lpfnWndProc = &SyncRouter::WindowProcedure;
  window_.pContext = this;
}

LRESULT SyncRouter::WindowProcedure(HWND window, UINT, WPARAM, LPARAM info) {
  if (info == 0) return 0;
  auto* self = static_cast<SyncRouter*>(window->pContext);
  return self->Route(SyncReport::From(*reinterpret_cast<const SyncProgressInfo*>(info)));
}

void SyncRouter::Expect(const std::string& task, const std::string& source,
                        std::shared_ptr<SyncChannel> channel) {
  std::lock_guard<std::mutex> guard(mutex_);
  waiting_.push_back({task, source, std::move(channel)});
}

LRESULT SyncRouter::Route(const SyncReport& report) {
  Waiting target;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (report.operation == kListing && !running_) {
      const auto found = std::find_if(waiting_.begin(), waiting_.end(),
                                      [&](const Waiting& w) { return w.source == report.first; });
      if (found == waiting_.end()) return 0;
      running_ = std::move(*found);
      waiting_.erase(found);
    }
    if (!running_) return 0;
    target = *running_;
    if (report.operation == kSyncEnd) {
      // Another task over the same source began the listing: the one waited
      // for is still to come.
      if (running_->task != report.first) waiting_.push_front(std::move(*running_));
      running_.reset();
      if (target.task != report.first) return 0;
    }
  }
  if (!target.channel) return 0;
  SyncReport named = report;
  named.task = target.task;
  return target.channel->Deliver(named);
}

}  // namespace host
