#include "store/cppsqlite3.h"

#include <sqlite3.h>

#include <cstring>
#include <utility>

namespace {

[[noreturn]] void ThrowLayerError(const char* detail) {
  throw CppSQLite3Exception(CPPSQLITE_ERROR, detail);
}

[[noreturn]] void ThrowSqliteError(int code, sqlite3* db) {
  throw CppSQLite3Exception(code, db ? sqlite3_errmsg(db) : nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------
// CppSQLite3Exception

CppSQLite3Exception::CppSQLite3Exception(int error_code, const char* detail, bool release_detail)
    : m_nErrCode(error_code) {
  m_pszErrMessage = sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(error_code), error_code,
                                    detail ? detail : "");
  if (release_detail && detail) sqlite3_free(const_cast<char*>(detail));
}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : std::exception(other), m_nErrCode(other.m_nErrCode) {
  m_pszErrMessage = other.m_pszErrMessage ? sqlite3_mprintf("%s", other.m_pszErrMessage) : nullptr;
}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
  if (this == &other) return *this;
  char* copy = other.m_pszErrMessage ? sqlite3_mprintf("%s", other.m_pszErrMessage) : nullptr;
  sqlite3_free(m_pszErrMessage);
  m_pszErrMessage = copy;
  m_nErrCode = other.m_nErrCode;
  return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(m_pszErrMessage); }

const char* CppSQLite3Exception::errorCodeAsString(int error_code) {
  switch (error_code) {
    case SQLITE_OK:
      return "SQLITE_OK";
    case SQLITE_ERROR:
      return "SQLITE_ERROR";
    case SQLITE_INTERNAL:
      return "SQLITE_INTERNAL";
    case SQLITE_PERM:
      return "SQLITE_PERM";
    case SQLITE_ABORT:
      return "SQLITE_ABORT";
    case SQLITE_BUSY:
      return "SQLITE_BUSY";
    case SQLITE_LOCKED:
      return "SQLITE_LOCKED";
    case SQLITE_NOMEM:
      return "SQLITE_NOMEM";
    case SQLITE_READONLY:
      return "SQLITE_READONLY";
    case SQLITE_INTERRUPT:
      return "SQLITE_INTERRUPT";
    case SQLITE_IOERR:
      return "SQLITE_IOERR";
    case SQLITE_CORRUPT:
      return "SQLITE_CORRUPT";
    case SQLITE_NOTFOUND:
      return "SQLITE_NOTFOUND";
    case SQLITE_FULL:
      return "SQLITE_FULL";
    case SQLITE_CANTOPEN:
      return "SQLITE_CANTOPEN";
    case SQLITE_PROTOCOL:
      return "SQLITE_PROTOCOL";
    case SQLITE_EMPTY:
      return "SQLITE_EMPTY";
    case SQLITE_SCHEMA:
      return "SQLITE_SCHEMA";
    case SQLITE_TOOBIG:
      return "SQLITE_TOOBIG";
    case SQLITE_CONSTRAINT:
      return "SQLITE_CONSTRAINT";
    case SQLITE_MISMATCH:
      return "SQLITE_MISMATCH";
    case SQLITE_MISUSE:
      return "SQLITE_MISUSE";
    case SQLITE_NOLFS:
      return "SQLITE_NOLFS";
    case SQLITE_AUTH:
      return "SQLITE_AUTH";
    case SQLITE_FORMAT:
      return "SQLITE_FORMAT";
    case SQLITE_RANGE:
      return "SQLITE_RANGE";
    case SQLITE_ROW:
      return "SQLITE_ROW";
    case SQLITE_DONE:
      return "SQLITE_DONE";
    case CPPSQLITE_ERROR:
      return "CPPSQLITE_ERROR";
    default:
      return "UNKNOWN_ERROR";
  }
}

// ---------------------------------------------------------------------------
// CppSQLite3Query

CppSQLite3Query::CppSQLite3Query() = default;

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool at_end, bool owns_statement)
    : m_pDB(db),
      m_pVM(stmt),
      m_bEof(at_end),
      m_nCols(stmt ? sqlite3_column_count(stmt) : 0),
      m_bOwnVM(owns_statement) {}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : m_pDB(other.m_pDB),
      m_pVM(std::exchange(other.m_pVM, nullptr)),
      m_bEof(other.m_bEof),
      m_nCols(other.m_nCols),
      m_bOwnVM(other.m_bOwnVM) {}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept {
  if (this == &other) return *this;
  finishQuietly();
  m_pDB = other.m_pDB;
  m_pVM = std::exchange(other.m_pVM, nullptr);
  m_bEof = other.m_bEof;
  m_nCols = other.m_nCols;
  m_bOwnVM = other.m_bOwnVM;
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() { finishQuietly(); }

void CppSQLite3Query::finishQuietly() noexcept {
  try {
    finish();
  } catch (...) {
  }
}

void CppSQLite3Query::checkVM() const {
  if (m_pVM == nullptr) ThrowLayerError("Null Virtual Machine pointer");
}

void CppSQLite3Query::checkIndex(int col) const {
  checkVM();
  if (col < 0 || col > m_nCols - 1) ThrowLayerError("Invalid field index requested");
}

int CppSQLite3Query::fieldCount() const {
  checkVM();
  return m_nCols;
}

int CppSQLite3Query::fieldIndex(const char* name) const {
  checkVM();
  if (name != nullptr) {
    for (int col = 0; col < m_nCols; ++col) {
      const char* col_name = sqlite3_column_name(m_pVM, col);
      if (col_name != nullptr && std::strcmp(name, col_name) == 0) return col;
    }
  }
  ThrowLayerError("Invalid field name requested");
}

const char* CppSQLite3Query::fieldName(int col) const {
  checkIndex(col);
  return sqlite3_column_name(m_pVM, col);
}

const char* CppSQLite3Query::fieldDeclType(int col) const {
  checkIndex(col);
  return sqlite3_column_decltype(m_pVM, col);
}

int CppSQLite3Query::fieldType(int col) const {
  checkIndex(col);
  return sqlite3_column_type(m_pVM, col);
}

const char* CppSQLite3Query::fieldText(int col) const {
  checkIndex(col);
  return reinterpret_cast<const char*>(sqlite3_column_text(m_pVM, col));
}

const char* CppSQLite3Query::fieldText(const char* name) const {
  return fieldText(fieldIndex(name));
}

bool CppSQLite3Query::isNull(int col) const { return fieldType(col) == SQLITE_NULL; }

bool CppSQLite3Query::isNull(const char* name) const { return isNull(fieldIndex(name)); }

int CppSQLite3Query::intField(int col, int null_value) const {
  if (fieldType(col) == SQLITE_NULL) return null_value;
  return sqlite3_column_int(m_pVM, col);
}

int CppSQLite3Query::intField(const char* name, int null_value) const {
  return intField(fieldIndex(name), null_value);
}

int64_t CppSQLite3Query::int64Field(int col, int64_t null_value) const {
  if (fieldType(col) == SQLITE_NULL) return null_value;
  return sqlite3_column_int64(m_pVM, col);
}

int64_t CppSQLite3Query::int64Field(const char* name, int64_t null_value) const {
  return int64Field(fieldIndex(name), null_value);
}

double CppSQLite3Query::doubleField(int col, double null_value) const {
  if (fieldType(col) == SQLITE_NULL) return null_value;
  return sqlite3_column_double(m_pVM, col);
}

double CppSQLite3Query::doubleField(const char* name, double null_value) const {
  return doubleField(fieldIndex(name), null_value);
}

const char* CppSQLite3Query::textField(int col, const char* null_value) const {
  if (fieldType(col) == SQLITE_NULL) return null_value;
  return reinterpret_cast<const char*>(sqlite3_column_text(m_pVM, col));
}

const char* CppSQLite3Query::textField(const char* name, const char* null_value) const {
  return textField(fieldIndex(name), null_value);
}

const unsigned char* CppSQLite3Query::blobField(int col, int& length) const {
  checkIndex(col);
  const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(m_pVM, col));
  length = sqlite3_column_bytes(m_pVM, col);
  return data;
}

const unsigned char* CppSQLite3Query::blobField(const char* name, int& length) const {
  return blobField(fieldIndex(name), length);
}

void CppSQLite3Query::next() {
  checkVM();
  const int rc = sqlite3_step(m_pVM);
  if (rc == SQLITE_DONE) {
    m_bEof = true;
  } else if (rc == SQLITE_ROW) {
    m_bEof = false;
  } else {
    sqlite3_stmt* stmt = std::exchange(m_pVM, nullptr);
    m_bEof = true;
    // A borrowed statement still belongs to its CppSQLite3Statement, which
    // finalizes it later; finalizing it here too would free it twice.
    const int code = m_bOwnVM ? sqlite3_finalize(stmt) : sqlite3_reset(stmt);
    ThrowSqliteError(code, m_pDB);
  }
}

void CppSQLite3Query::finish() {
  if (m_pVM == nullptr) return;
  sqlite3_stmt* stmt = std::exchange(m_pVM, nullptr);
  m_bEof = true;
  if (!m_bOwnVM) return;
  const int rc = sqlite3_finalize(stmt);
  if (rc != SQLITE_OK) ThrowSqliteError(rc, m_pDB);
}

// ---------------------------------------------------------------------------
// CppSQLite3Statement

CppSQLite3Statement::CppSQLite3Statement() = default;

CppSQLite3Statement::CppSQLite3Statement(sqlite3* db, sqlite3_stmt* stmt)
    : m_pDB(db), m_pVM(stmt) {}

CppSQLite3Statement::CppSQLite3Statement(CppSQLite3Statement&& other) noexcept
    : m_pDB(other.m_pDB), m_pVM(std::exchange(other.m_pVM, nullptr)) {}

CppSQLite3Statement& CppSQLite3Statement::operator=(CppSQLite3Statement&& other) noexcept {
  if (this == &other) return *this;
  finishQuietly();
  m_pDB = other.m_pDB;
  m_pVM = std::exchange(other.m_pVM, nullptr);
  return *this;
}

CppSQLite3Statement::~CppSQLite3Statement() { finishQuietly(); }

void CppSQLite3Statement::finishQuietly() noexcept {
  try {
    finish();
  } catch (...) {
  }
}

void CppSQLite3Statement::checkDB() const {
  if (m_pDB == nullptr) ThrowLayerError("Database not open");
}

void CppSQLite3Statement::checkVM() const {
  if (m_pVM == nullptr) ThrowLayerError("Null Virtual Machine pointer");
}

int CppSQLite3Statement::execute() {
  checkVM();
  checkDB();
  const int rc = sqlite3_step(m_pVM);
  if (rc != SQLITE_DONE) {
    const int reset_rc = sqlite3_reset(m_pVM);
    ThrowSqliteError(reset_rc != SQLITE_OK ? reset_rc : rc, m_pDB);
  }
  const int changes = sqlite3_changes(m_pDB);
  const int reset_rc = sqlite3_reset(m_pVM);
  if (reset_rc != SQLITE_OK) ThrowSqliteError(reset_rc, m_pDB);
  return changes;
}

CppSQLite3Query CppSQLite3Statement::query() {
  checkVM();
  checkDB();
  const int rc = sqlite3_step(m_pVM);
  if (rc == SQLITE_DONE) return CppSQLite3Query(m_pDB, m_pVM, true, false);
  if (rc == SQLITE_ROW) return CppSQLite3Query(m_pDB, m_pVM, false, false);
  const int reset_rc = sqlite3_reset(m_pVM);
  ThrowSqliteError(reset_rc != SQLITE_OK ? reset_rc : rc, m_pDB);
}

void CppSQLite3Statement::bindText(int param, const char* value) {
  checkVM();
  const int rc = sqlite3_bind_text(m_pVM, param, value, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding string param");
}

void CppSQLite3Statement::bindInt(int param, int value) {
  checkVM();
  const int rc = sqlite3_bind_int(m_pVM, param, value);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding int param");
}

void CppSQLite3Statement::bindDouble(int param, double value) {
  checkVM();
  const int rc = sqlite3_bind_double(m_pVM, param, value);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding double param");
}

void CppSQLite3Statement::bindBlob(int param, const unsigned char* data, int length) {
  checkVM();
  const int rc = sqlite3_bind_blob(m_pVM, param, data, length, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding blob param");
}

void CppSQLite3Statement::bindNull(int param) {
  checkVM();
  const int rc = sqlite3_bind_null(m_pVM, param);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding NULL param");
}

void CppSQLite3Statement::bindText(const char* name, const char* value) {
  bindText(parameterIndex(name), value);
}

void CppSQLite3Statement::bindInt(const char* name, int value) {
  bindInt(parameterIndex(name), value);
}

void CppSQLite3Statement::bindDouble(const char* name, double value) {
  bindDouble(parameterIndex(name), value);
}

void CppSQLite3Statement::bindBlob(const char* name, const unsigned char* data, int length) {
  bindBlob(parameterIndex(name), data, length);
}

void CppSQLite3Statement::bindNull(const char* name) { bindNull(parameterIndex(name)); }

int CppSQLite3Statement::parameterIndex(const char* name) const {
  checkVM();
  const int index = name ? sqlite3_bind_parameter_index(m_pVM, name) : 0;
  if (index == 0) {
    throw CppSQLite3Exception(
        CPPSQLITE_ERROR,
        sqlite3_mprintf("Parameter '%s' is not valid for this statement", name ? name : ""), true);
  }
  return index;
}

void CppSQLite3Statement::reset() {
  if (m_pVM == nullptr) return;
  const int rc = sqlite3_reset(m_pVM);
  if (rc != SQLITE_OK) ThrowSqliteError(rc, m_pDB);
}

void CppSQLite3Statement::finish() {
  if (m_pVM == nullptr) return;
  const int rc = sqlite3_finalize(std::exchange(m_pVM, nullptr));
  if (rc != SQLITE_OK) ThrowSqliteError(rc, m_pDB);
}

// ---------------------------------------------------------------------------
// CppSQLite3Database

CppSQLite3Database::CppSQLite3Database() = default;

CppSQLite3Database::CppSQLite3Database(CppSQLite3Database&& other) noexcept
    : m_pDB(std::exchange(other.m_pDB, nullptr)), m_nBusyTimeoutMs(other.m_nBusyTimeoutMs) {}

CppSQLite3Database& CppSQLite3Database::operator=(CppSQLite3Database&& other) noexcept {
  if (this == &other) return *this;
  try {
    close();
  } catch (...) {
  }
  m_pDB = std::exchange(other.m_pDB, nullptr);
  m_nBusyTimeoutMs = other.m_nBusyTimeoutMs;
  return *this;
}

CppSQLite3Database::~CppSQLite3Database() {
  try {
    close();
  } catch (...) {
  }
}

void CppSQLite3Database::open(const char* path) {
  close();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open(path ? path : "", &db);
  if (rc != SQLITE_OK) {
    // Keep the message, then release the handle SQLite returns even on
    // failure: a half-open handle would make the object look open.
    CppSQLite3Exception error(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    throw error;
  }
  m_pDB = db;
  sqlite3_busy_timeout(m_pDB, m_nBusyTimeoutMs);
}

void CppSQLite3Database::close() {
  if (m_pDB == nullptr) return;
  sqlite3* db = std::exchange(m_pDB, nullptr);
  if (sqlite3_close(db) != SQLITE_OK) {
    // Statements are still open on it: let SQLite free the connection when
    // the last of them is finalized instead of leaking it.
    sqlite3_close_v2(db);
    ThrowLayerError("Unable to close database");
  }
}

void CppSQLite3Database::setBusyTimeout(int ms) {
  m_nBusyTimeoutMs = ms;
  if (m_pDB != nullptr) sqlite3_busy_timeout(m_pDB, m_nBusyTimeoutMs);
}

void CppSQLite3Database::checkDB() const {
  if (m_pDB == nullptr) ThrowLayerError("Database not open");
}

sqlite3_stmt* CppSQLite3Database::compile(const char* sql) {
  checkDB();
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(m_pDB, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) ThrowSqliteError(rc, m_pDB);
  return stmt;
}

int CppSQLite3Database::execute(const char* sql) {
  checkDB();
  char* error_text = nullptr;
  const int rc = sqlite3_exec(m_pDB, sql, nullptr, nullptr, &error_text);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, error_text, true);
  return sqlite3_changes(m_pDB);
}

CppSQLite3Query CppSQLite3Database::query(const char* sql) {
  sqlite3_stmt* stmt = compile(sql);
  // Empty SQL (only blanks or comments) compiles to no statement at all.
  if (stmt == nullptr) return CppSQLite3Query(m_pDB, nullptr, true, true);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return CppSQLite3Query(m_pDB, stmt, true, true);
  if (rc == SQLITE_ROW) return CppSQLite3Query(m_pDB, stmt, false, true);
  ThrowSqliteError(sqlite3_finalize(stmt), m_pDB);
}

int CppSQLite3Database::queryScalar(const char* sql, int null_value) {
  CppSQLite3Query q = query(sql);
  if (q.atEnd() || q.fieldCount() < 1) ThrowLayerError("Invalid scalar query");
  return q.intField(0, null_value);
}

bool CppSQLite3Database::hasTable(const char* name) {
  // The name is bound rather than pasted into the text, so its length and any
  // quote in it cannot change the statement.
  CppSQLite3Statement stmt =
      prepare("select count(*) from sqlite_master where type='table' and name=?");
  stmt.bindText(1, name ? name : "");
  CppSQLite3Query q = stmt.query();
  if (q.atEnd()) ThrowLayerError("Invalid scalar query");
  return q.intField(0, 0) > 0;
}

CppSQLite3Statement CppSQLite3Database::prepare(const char* sql) {
  sqlite3_stmt* stmt = compile(sql);
  return CppSQLite3Statement(m_pDB, stmt);
}

int64_t CppSQLite3Database::lastInsertRowId() const {
  checkDB();
  return sqlite3_last_insert_rowid(m_pDB);
}

bool CppSQLite3Database::isAutoCommit() const {
  checkDB();
  return sqlite3_get_autocommit(m_pDB) != 0;
}
