// strandel: the command-line host of libstrandel.so. Task commands go through
// the running daemon's IWatcherMonitor when there is one, else to the task
// store; the history is read from the data directory's database.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <map>

#include "daemon.h"
#include "data_dir.h"
#include "dispatch.h"
#include "duration.h"
#include "history.h"
#include "password_prompt.h"
#include "request.h"
#include "sync_command.h"

namespace {

namespace fs = std::filesystem;
using host::Request;

constexpr int kUsageError = 2;
constexpr uint32_t kMinimumEveryMs = 60 * 1000;

// What the task options of add and edit collect before they become a request.
struct TaskFlags {
  std::string source, dest, include, exclude, every, share_user;
  bool two_way = false, top_level_only = false, not_realtime = false, usb = false;
  bool fail_report = false, no_include = false, no_exclude = false, password_stdin = false;
  std::string on_add, on_delete, on_rename;
  std::map<std::string, CLI::Option*> given;
};

std::string CheckEvery(const std::string& text, bool allow_off) {
  if (allow_off && text == "off") return "";
  const auto ms = host::ParseDuration(text);
  if (!ms) return "expected a duration such as 10m, 1h or 1h30m, got '" + text + "'";
  if (*ms < kMinimumEveryMs) return "the schedule must be at least one minute, got '" + text + "'";
  return "";
}

void AddTaskOptions(CLI::App* command, TaskFlags& f, bool edit) {
  auto& given = f.given;
  const auto flag = [&](const std::string& key, const std::string& names, bool& value,
                        const std::string& help) {
    given[key] = command->add_flag(names, value, help);
  };
  flag("two_way", edit ? "--two-way,!--one-way" : "--two-way", f.two_way,
       "changes on either side reach the other" +
           std::string(edit ? " (--one-way: back to one way)" : ""));
  given["include"] =
      command->add_option("--include", f.include,
                          "only names matching these ';'-separated patterns, e.g. '*.txt;*.md'");
  given["exclude"] = command->add_option("--exclude", f.exclude,
                                         "never names matching these ';'-separated patterns");
  flag("top_level_only", edit ? "--top-level-only,!--all-levels" : "--top-level-only",
       f.top_level_only, "leave subdirectories alone");
  given["on_add"] =
      command->add_option("--on-add", f.on_add, "when a file arrives over an existing one")
          ->check(CLI::IsMember({"overwrite", "backup", "ignore"}));
  given["on_delete"] = command->add_option("--on-delete", f.on_delete, "when a file is deleted")
                           ->check(CLI::IsMember({"delete", "trash", "ignore"}));
  given["on_rename"] = command->add_option("--on-rename", f.on_rename, "when a file is renamed")
                           ->check(CLI::IsMember({"rename", "backup", "ignore"}));
  given["every"] =
      command
          ->add_option("--every", f.every,
                       "also sync the whole tree on a schedule, e.g. 10m or 1h (at least 1m)" +
                           std::string(edit ? "; 'off' stops it" : ""))
          ->check(CLI::Validator([edit](std::string& text) { return CheckEvery(text, edit); },
                                 "DURATION"));
  flag("usb", edit ? "--usb,!--no-usb" : "--usb", f.usb, "sync fully when a USB volume arrives");
  flag("not_realtime", edit ? "--not-realtime,!--realtime" : "--not-realtime", f.not_realtime,
       "do not follow changes as they happen (scheduled and USB syncs only)");
  flag("fail_report", edit ? "--fail-report,!--no-fail-report" : "--fail-report", f.fail_report,
       "ask the host about failed files during full syncs");
  given["share_user"] =
      command->add_option("--share-user", f.share_user,
                          "user for a network share; the password is asked for on the terminal");
  given["password_stdin"] = command
                                ->add_flag("--share-password-stdin", f.password_stdin,
                                           "read the share password from standard input instead")
                                ->needs(given["share_user"]);
  if (edit) {
    given["source"] = command->add_option("--source", f.source, "a new source directory");
    given["dest"] = command->add_option("--dest", f.dest, "a new destination directory");
    given["no_include"] = command->add_flag("--no-include", f.no_include, "drop the include filter")
                              ->excludes(given["include"]);
    given["no_exclude"] = command->add_flag("--no-exclude", f.no_exclude, "drop the exclude filter")
                              ->excludes(given["exclude"]);
  }
}

bool Given(const TaskFlags& f, const std::string& key) {
  const auto it = f.given.find(key);
  return it != f.given.end() && it->second->count() > 0;
}

// Fills the request's changes; false (with a message) when a path or the
// password cannot be had.
bool ToChanges(const TaskFlags& f, host::TaskChanges& c) {
  for (auto [given, out] : {std::pair{&f.source, &c.source}, {&f.dest, &c.dest}}) {
    if (given->empty()) continue;
    const fs::path absolute = host::MakeAbsolute(*given);
    if (absolute.empty()) {
      std::fprintf(stderr, "strandel: cannot make %s absolute: the current directory is gone\n",
                   given->c_str());
      return false;
    }
    *out = absolute.string();
  }
  if (Given(f, "two_way")) c.two_way = f.two_way;
  if (Given(f, "top_level_only")) c.top_level_only = f.top_level_only;
  if (Given(f, "not_realtime")) c.realtime = !f.not_realtime;
  if (Given(f, "usb")) c.usb = f.usb;
  if (Given(f, "fail_report")) c.fail_report = f.fail_report;
  if (Given(f, "include")) c.include = f.include;
  if (Given(f, "no_include")) c.include = "";
  if (Given(f, "exclude")) c.exclude = f.exclude;
  if (Given(f, "no_exclude")) c.exclude = "";
  const auto pick = [](const std::string& name, auto first, auto second, auto third) {
    return name == "backup" || name == "trash" ? second : name == "ignore" ? third : first;
  };
  if (Given(f, "on_add")) c.on_add = pick(f.on_add, AddOverwrite, AddKeepBackup, AddIgnore);
  if (Given(f, "on_delete")) {
    c.on_delete = pick(f.on_delete, DelPermanent, DelToRecycleBin, DelIgnore);
  }
  if (Given(f, "on_rename")) {
    c.on_rename = pick(f.on_rename, RenameInPlace, RenameKeepBackup, RenameIgnore);
  }
  if (Given(f, "every")) c.every_ms = f.every == "off" ? 0 : *host::ParseDuration(f.every);
  if (Given(f, "share_user")) {
    c.share_user = f.share_user;
    if (!f.share_user.empty()) {
      std::string error;
      c.share_password = f.password_stdin ? host::ReadPasswordFromStdin(&error)
                                          : host::ReadPasswordFromTerminal(f.share_user, &error);
      if (!c.share_password) {
        std::fprintf(stderr, "strandel: %s\n", error.c_str());
        return false;
      }
    }
  }
  return true;
}

int ShowLog(const fs::path& data_dir, const host::HistoryQuery& query, bool json) {
  std::string error;
  const auto rows = host::ReadHistory(data_dir / "Strandel.db", query, &error);
  if (!error.empty()) {
    std::fprintf(stderr, "strandel: cannot read the history: %s\n", error.c_str());
    return 1;
  }
  if (json) {
    std::fputs(host::HistoryJson(rows).c_str(), stdout);
  } else {
    for (const auto& row : rows) std::printf("%s\n", host::HistoryLine(row).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"strandel: keeps directories in step, in real time.", "strandel"};
  app.require_subcommand(1);
  app.footer("Run 'strandel COMMAND --help' for a command's options.");
  std::string data_dir_arg = host::DefaultDataDir().string();
  app.add_option("--data-dir", data_dir_arg, "where the tasks and the history live")
      ->capture_default_str();

  Request request;
  TaskFlags add_flags, edit_flags;
  bool quiet = false;
  bool no_initial_sync = false;
  host::HistoryQuery log_query;
  std::string log_task, log_since;
  bool log_json = false;

  CLI::App* add = app.add_subcommand("add", "add a task that mirrors SOURCE into DEST");
  add->add_option("NAME", request.name, "the task's name")->required();
  add->add_option("SOURCE", add_flags.source, "the directory to watch")->required();
  add->add_option("DEST", add_flags.dest, "where its files go")->required();
  AddTaskOptions(add, add_flags, false);
  add->add_flag("--if-missing", request.if_missing,
                "succeed without change when the task exists over the same pair");
  add->footer(
      "Prints the new task's index.\nExample:\n"
      "  strandel add docs ~/docs /media/backup/docs --exclude '*.tmp' --on-delete trash");

  CLI::App* list = app.add_subcommand("list", "the tasks, as a table");
  list->add_flag("--json", request.json, "as JSON, for scripts");
  list->footer("Example:\n  strandel list --json");

  CLI::App* show = app.add_subcommand("show", "one task in full");
  show->add_option("NAME", request.name, "the task's name")->required();
  show->add_flag("--json", request.json, "as JSON, for scripts");
  show->footer("Example:\n  strandel show docs");

  CLI::App* edit = app.add_subcommand("edit", "change a task; it keeps its index");
  edit->add_option("NAME", request.name, "the task's name")->required();
  AddTaskOptions(edit, edit_flags, true);
  edit->footer("Example:\n  strandel edit docs --two-way --every 1h");

  CLI::App* remove = app.add_subcommand("remove", "delete a task (its files stay)");
  remove->add_option("NAME", request.name, "the task's name")->required();
  remove->footer("Example:\n  strandel remove docs");

  CLI::App* run = app.add_subcommand("run", "keep the tasks in step until SIGINT or SIGTERM");
  run->add_flag("--quiet,-q", quiet, "do not print each synchronised change");
  run->add_flag("--no-initial-sync", no_initial_sync,
                "follow changes only; skip the full sync of every task at start");
  run->footer("Example:\n  strandel run --data-dir ~/.local/state/strandel");

  host::SyncCommand sync_command;
  bool sync_all = false;
  CLI::App* sync = app.add_subcommand("sync", "bring a task, or every task, fully in step now");
  CLI::Option* sync_name = sync->add_option("NAME", sync_command.name, "the task's name");
  sync->add_flag("--all", sync_all, "every task, one after the other")->excludes(sync_name);
  sync->add_flag("--quiet,-q", sync_command.quiet, "print nothing; the exit status tells");
  sync->add_flag("--json", sync_command.json, "a summary as JSON, for scripts");
  sync->footer(
      "Runs in the daemon when one runs. Exit status 1 when an item failed.\nExample:\n"
      "  strandel sync docs");

  CLI::App* log = app.add_subcommand("log", "the sync history, newest last");
  log->add_option("--task", log_task, "only this task's entries");
  log->add_option("--since", log_since, "from a time: '2026-12-01', '2026-12-01 08:00' or '2h' ago")
      ->check(CLI::Validator(
          [](std::string& text) {
            return host::SinceToUtc(text) ? "" : "expected a date, a date and time, or 2h/30m/7d";
          },
          "TIME"));
  log->add_flag("--failed", log_query.failed_only, "only failures");
  log->add_option("--limit", log_query.limit, "only the newest N entries")
      ->check(CLI::PositiveNumber);
  log->add_flag("--json", log_json, "as JSON, for scripts");
  log->footer("Example:\n  strandel log --task docs --since 1d --failed");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsageError;
  }

  std::string error;
  const fs::path data_dir = host::PrepareDataDir(data_dir_arg, &error);
  if (data_dir.empty()) {
    std::fprintf(stderr, "strandel: data directory: %s\n", error.c_str());
    return 1;
  }
  if (run->parsed()) return host::RunDaemon(data_dir, quiet, !no_initial_sync);
  if (sync->parsed()) {
    if (!sync_all && sync_command.name.empty()) {
      std::fprintf(stderr, "strandel sync: name a task, or give --all\n");
      return kUsageError;
    }
    return host::RunSync(data_dir, sync_command);
  }
  if (log->parsed()) {
    if (!log_task.empty()) log_query.task = log_task;
    if (!log_since.empty()) log_query.since_utc = host::SinceToUtc(log_since);
    return ShowLog(data_dir, log_query, log_json);
  }
  if (add->parsed() || edit->parsed()) {
    if (!ToChanges(add->parsed() ? add_flags : edit_flags, request.changes)) return kUsageError;
  }
  request.command = app.get_subcommands().front()->get_name();
  return host::Dispatch(data_dir, request);
}
