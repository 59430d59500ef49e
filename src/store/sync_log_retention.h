// The history's retention settings in "SyncConfig" and the purge of "SyncLog"
// that applies them, run each time the controller starts watching. Silent by
// design: a closed store or a failing statement just ends or skips a step.
// Takes the database lock for the whole run.
#pragma once

#include "store/module_database.h"

inline constexpr int32_t kDefaultLogReserveDays = 365;
inline constexpr int32_t kDefaultLogReserveNum = 100000;

void RunSyncLogRetention(ModuleDatabase& database);
