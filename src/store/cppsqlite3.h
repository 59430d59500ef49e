// A thin object layer over the SQLite C API: a connection, compiled statements
// and forward-only cursors over their rows. Every failure is thrown as one
// exception type carrying the SQLite result code and a formatted message; the
// layer never logs. All text is NUL-terminated UTF-8.
//
// Thread contract: no locks and no shared state. A connection, and every query
// and statement made from it, is used by one thread at a time. Queries and
// statements must not outlive their connection. Contention with other
// connections to the same file is left to SQLite's busy handler.
#pragma once

#include <cstdint>
#include <exception>

struct sqlite3;
struct sqlite3_stmt;

// Result code of faults found by the layer itself rather than by SQLite.
inline constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception : public std::exception {
 public:
  // The message reads "<code name>[<code>]: <detail>". When release_detail is
  // set, detail came from SQLite's allocator and is freed here.
  CppSQLite3Exception(int error_code, const char* detail, bool release_detail = false);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
  ~CppSQLite3Exception() override;

  int errorCode() const { return m_nErrCode; }
  const char* errorMessage() const { return m_pszErrMessage ? m_pszErrMessage : ""; }
  const char* what() const noexcept override { return errorMessage(); }

  // Primary result codes only; anything else (extended codes too) is
  // "UNKNOWN_ERROR".
  static const char* errorCodeAsString(int error_code);

 private:
  int m_nErrCode;
  char* m_pszErrMessage;  // from sqlite3_mprintf
};

// Forward-only cursor over the rows of one compiled statement. Move-only: the
// statement has exactly one owner, and a moved-from query holds none.
class CppSQLite3Query {
 public:
  CppSQLite3Query();
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool at_end, bool owns_statement);
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query& operator=(const CppSQLite3Query&) = delete;
  virtual ~CppSQLite3Query();

  int fieldCount() const;
  int fieldIndex(const char* name) const;
  const char* fieldName(int col) const;
  const char* fieldDeclType(int col) const;
  int fieldType(int col) const;  // SQLITE_INTEGER .. SQLITE_NULL

  const char* fieldText(int col) const;
  const char* fieldText(const char* name) const;
  bool isNull(int col) const;
  bool isNull(const char* name) const;

  int intField(int col, int null_value = 0) const;
  int intField(const char* name, int null_value = 0) const;
  int64_t int64Field(int col, int64_t null_value = 0) const;
  int64_t int64Field(const char* name, int64_t null_value = 0) const;
  double doubleField(int col, double null_value = 0.0) const;
  double doubleField(const char* name, double null_value = 0.0) const;
  const char* textField(int col, const char* null_value = "") const;
  const char* textField(const char* name, const char* null_value = "") const;
  const unsigned char* blobField(int col, int& length) const;
  const unsigned char* blobField(const char* name, int& length) const;

  bool atEnd() const { return m_bEof; }
  void next();
  void finish();

 private:
  void checkVM() const;
  void checkIndex(int col) const;
  void finishQuietly() noexcept;

  sqlite3* m_pDB = nullptr;
  sqlite3_stmt* m_pVM = nullptr;
  bool m_bEof = true;
  int m_nCols = 0;
  bool m_bOwnVM = false;
};

// A compiled statement with parameters, run as often as needed. Move-only.
class CppSQLite3Statement {
 public:
  CppSQLite3Statement();
  CppSQLite3Statement(sqlite3* db, sqlite3_stmt* stmt);
  CppSQLite3Statement(CppSQLite3Statement&& other) noexcept;
  CppSQLite3Statement& operator=(CppSQLite3Statement&& other) noexcept;
  CppSQLite3Statement(const CppSQLite3Statement&) = delete;
  CppSQLite3Statement& operator=(const CppSQLite3Statement&) = delete;
  virtual ~CppSQLite3Statement();

  // Rows changed.
  int execute();
  // The query borrows the statement: it must be done with before the
  // statement is reset, run again or finished.
  CppSQLite3Query query();

  // Parameters are numbered from 1.
  void bindText(int param, const char* value);
  void bindInt(int param, int value);
  void bindDouble(int param, double value);
  void bindBlob(int param, const unsigned char* data, int length);
  void bindNull(int param);
  void bindText(const char* name, const char* value);
  void bindInt(const char* name, int value);
  void bindDouble(const char* name, double value);
  void bindBlob(const char* name, const unsigned char* data, int length);
  void bindNull(const char* name);
  int parameterIndex(const char* name) const;

  void reset();
  void finish();

 private:
  void checkDB() const;
  void checkVM() const;
  void finishQuietly() noexcept;

  sqlite3* m_pDB = nullptr;
  sqlite3_stmt* m_pVM = nullptr;
};

// One connection. Move-only: two objects closing one handle would free it twice.
class CppSQLite3Database {
 public:
  static constexpr int kDefaultBusyTimeoutMs = 60000;

  CppSQLite3Database();
  CppSQLite3Database(CppSQLite3Database&& other) noexcept;
  CppSQLite3Database& operator=(CppSQLite3Database&& other) noexcept;
  CppSQLite3Database(const CppSQLite3Database&) = delete;
  CppSQLite3Database& operator=(const CppSQLite3Database&) = delete;
  virtual ~CppSQLite3Database();

  // Closes any connection held first. On failure nothing stays open.
  void open(const char* path);
  void close();
  void setBusyTimeout(int ms);

  int execute(const char* sql);  // rows changed
  CppSQLite3Query query(const char* sql);
  int queryScalar(const char* sql, int null_value = 0);
  bool hasTable(const char* name);
  CppSQLite3Statement prepare(const char* sql);
  int64_t lastInsertRowId() const;
  bool isAutoCommit() const;

 private:
  void checkDB() const;
  sqlite3_stmt* compile(const char* sql);

  sqlite3* m_pDB = nullptr;
  int m_nBusyTimeoutMs = kDefaultBusyTimeoutMs;
};
