// The record store: the only way the module's tables are read and written.
// Each table is a list of records addressed by position (SQLite's natural row
// order) or by the serial column "SN"; any other column comes into being the
// first time a value is written to it. Text is std::wstring here and UTF-8 in
// the file.
//
// No operation lets an exception out: every failure yields a neutral result
// (0, false, empty text, an empty table handle or an empty record).
//
// Thread contract: the store takes no lock. Its callers hold the database lock
// around each sequence of accesses and use a store, and the tables and records
// taken from it, on one thread at a time. Tables and records refer to the
// store's connection and must not outlive the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "store/cppsqlite3.h"
#include "strandel/strandel.h"

inline constexpr const char* kSerialColumn = "SN";
inline constexpr const char* kInternalUsedColumn = "InternalUsed";

// A column value as stored: integers stay integers, anything else is text.
using RecordValue = std::variant<int32_t, std::wstring>;

// One row: a query positioned on it is the snapshot the getters read, until a
// setter replaces it with the row as written. Move-only, like the query.
class CRecord {
 public:
  CRecord();
  // Looks the row up by serial; no such row, or a failed lookup, gives an
  // empty record.
  CRecord(CppSQLite3Database* db, std::string table, int64_t serial);
  CRecord(CRecord&&) noexcept = default;
  CRecord& operator=(CRecord&&) noexcept = default;
  CRecord(const CRecord&) = delete;
  CRecord& operator=(const CRecord&) = delete;

  bool isEmpty() const;
  int64_t serial() const { return m_nSerial; }

  int32_t getInteger(std::wstring_view column) const;
  std::wstring getText(std::wstring_view column) const;
  // S_OK, or E_FAIL when the column is absent or the read fails.
  HRESULT getValue(std::wstring_view column, RecordValue* value) const;
  // An integer column as it is; a text column 1 for "True", "Yes" or "1"
  // (any case), else 0.
  BOOL getBool(std::wstring_view column) const;

  // False when the row no longer exists or the write fails.
  bool setInteger(std::wstring_view column, int32_t value);
  bool SetValue(std::wstring_view column, std::wstring_view text);
  bool remove();

 private:
  // Adds a column of that SQL type unless the table has it.
  void addColumn(const std::string& name, const char* type);
  void rereadRow();

  CppSQLite3Query m_row;
  int64_t m_nSerial = 0;
  CppSQLite3Database* m_pDB = nullptr;
  std::string m_strTable;
};

// A handle on one table of a store; an empty handle (no connection) answers
// every operation with its neutral result.
class CRecordTable {
 public:
  CRecordTable() = default;
  CRecordTable(CppSQLite3Database* db, std::string name);

  int32_t count();
  // An index at or past the end appends a row and returns it.
  CRecord recordAt(int32_t index);
  CRecord addRecord();
  CRecord recordBySerial(int64_t serial);
  bool isMissing();

 private:
  CppSQLite3Database* m_pDB = nullptr;
  std::string m_strName;
};

class CRecordDatabase {
 public:
  CRecordDatabase() = default;
  // Opens (creating if needed) the file; on failure the store stays closed.
  explicit CRecordDatabase(std::wstring_view path);
  ~CRecordDatabase() = default;
  // Tables and records point at m_db, so the store never moves.
  CRecordDatabase(const CRecordDatabase&) = delete;
  CRecordDatabase& operator=(const CRecordDatabase&) = delete;

  // Opens a connection of this store on the file of other. A source that was
  // never given a path leaves this store closed.
  void openFrom(const CRecordDatabase& other);
  bool isClosed() const;
  void close();
  // The connection itself, for the few users that need a bound statement or a
  // transaction of their own (the history recorder, the open check).
  CppSQLite3Database& connection() { return m_db; }
  const std::string& path() const { return m_strPath; }

  // Creates the table, with "SN" and "InternalUsed" only, when it is missing.
  CRecordTable getTable(std::wstring_view name);
  int32_t recordCount(std::wstring_view table);
  CRecord getRecord(std::wstring_view table, int32_t index);
  // An index at or past the end appends a row.
  bool setInteger(std::wstring_view table, int32_t index, std::wstring_view column, int32_t value);
  bool setText(std::wstring_view table, int32_t index, std::wstring_view column,
               std::wstring_view text);
  // Reads only: an index outside the table gives an empty string and adds no row.
  std::wstring getText(std::wstring_view table, int32_t index, std::wstring_view column);
  bool deleteRecord(std::wstring_view table, int64_t serial);
  // condition is a fixed clause of the caller's, placed in the statement as is.
  void deleteWhere(std::wstring_view table, std::wstring_view condition);

 private:
  CppSQLite3Database m_db;
  std::string m_strPath;  // UTF-8
};
