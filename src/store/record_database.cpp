#include "store/record_database.h"

#include <sqlite3.h>

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "os/text.h"
#include "platform/diag_log.h"

namespace {

// Statements are formatted to their full length: a clipped statement could
// name another row, or widen a DELETE.
std::string Sql(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Sql(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

// ASCII only: the words compared against are ASCII, and towlower would make
// the answer depend on the process locale.
wchar_t AsciiLower(wchar_t ch) { return (ch >= L'A' && ch <= L'Z') ? ch - L'A' + L'a' : ch; }

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

void CheckConnection(const CppSQLite3Database* db) {
  if (db == nullptr) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
}

}  // namespace

// ---------------------------------------------------------------------------
// CRecord

CRecord::CRecord() = default;

CRecord::CRecord(CppSQLite3Database* db, std::string table, int64_t serial)
    : m_nSerial(serial), m_pDB(db), m_strTable(std::move(table)) {
  try {
    CheckConnection(m_pDB);
    CppSQLite3Query row = m_pDB->query(Sql("SELECT * FROM %s WHERE %s=%lld", m_strTable.c_str(),
                                           kSerialColumn, static_cast<long long>(serial))
                                           .c_str());
    // A query past its last row has columns but no values to read.
    if (!row.atEnd()) m_row = std::move(row);
  } catch (...) {
    DebugTraceW(L"[Strandel] m_pDB->execQuery() failed LINE:%d", 748);
  }
}

bool CRecord::isEmpty() const {
  try {
    return m_row.fieldCount() < 1;
  } catch (...) {
    return true;
  }
}

int32_t CRecord::getInteger(std::wstring_view column) const {
  try {
    return m_row.intField(os::ToUtf8(column).c_str(), 0);
  } catch (...) {
    return 0;
  }
}

std::wstring CRecord::getText(std::wstring_view column) const {
  try {
    return os::FromUtf8(m_row.textField(os::ToUtf8(column).c_str(), ""));
  } catch (...) {
    return std::wstring();
  }
}

HRESULT CRecord::getValue(std::wstring_view column, RecordValue* value) const {
  try {
    const int col = m_row.fieldIndex(os::ToUtf8(column).c_str());
    if (m_row.fieldType(col) == SQLITE_INTEGER) {
      if (value) *value = m_row.intField(col, 0);
    } else {
      if (value) *value = os::FromUtf8(m_row.textField(col, ""));
    }
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

BOOL CRecord::getBool(std::wstring_view column) const {
  RecordValue value;
  if (FAILED(getValue(column, &value))) return FALSE;
  if (const int32_t* number = std::get_if<int32_t>(&value)) return *number;
  const std::wstring& text = std::get<std::wstring>(value);
  return (EqualsIgnoringCase(text, L"True") || EqualsIgnoringCase(text, L"Yes") ||
          EqualsIgnoringCase(text, L"1"))
             ? TRUE
             : FALSE;
}

void CRecord::rereadRow() {
  m_row = m_pDB->query(Sql("SELECT * FROM %s WHERE %s=%lld", m_strTable.c_str(), kSerialColumn,
                           static_cast<long long>(m_nSerial))
                           .c_str());
}

void CRecord::addColumn(const std::string& name, const char* type) {
  try {
    m_pDB->execute(
        Sql("ALTER TABLE %s ADD COLUMN %s %s", m_strTable.c_str(), name.c_str(), type).c_str());
  } catch (...) {
    // Usually the column is there already; if it truly is missing, the
    // UPDATE that follows fails and says so.
  }
}

bool CRecord::setInteger(std::wstring_view column, int32_t value) {
  try {
    CheckConnection(m_pDB);
    const std::string name = os::ToUtf8(column);
    addColumn(name, "INTEGER");
    const int changed =
        m_pDB->execute(Sql("UPDATE %s SET %s=%d WHERE %s=%lld", m_strTable.c_str(), name.c_str(),
                           value, kSerialColumn, static_cast<long long>(m_nSerial))
                           .c_str());
    if (changed == 0) return false;
    rereadRow();
    return true;
  } catch (...) {
    return false;
  }
}

bool CRecord::SetValue(std::wstring_view column, std::wstring_view text) {
  try {
    CheckConnection(m_pDB);
    const std::string name = os::ToUtf8(column);
    addColumn(name, "TEXT");
    CppSQLite3Statement update =
        m_pDB->prepare(Sql("UPDATE %s SET %s=? WHERE %s=%lld", m_strTable.c_str(), name.c_str(),
                           kSerialColumn, static_cast<long long>(m_nSerial))
                           .c_str());
    update.bindText(1, os::ToUtf8(text).c_str());
    const int changed = update.execute();
    update.finish();
    if (changed == 0) return false;
    rereadRow();
    return true;
  } catch (...) {
    try {
      // The column only: a value may be a share password.
      const std::wstring column_text(column);
      DebugTraceW(L"[Strandel]SetValue(%ls) failed", column_text.c_str());
    } catch (...) {
    }
    return false;
  }
}

bool CRecord::remove() {
  try {
    CheckConnection(m_pDB);
    return m_pDB->execute(Sql("DELETE FROM %s WHERE %s=%lld", m_strTable.c_str(), kSerialColumn,
                              static_cast<long long>(m_nSerial))
                              .c_str()) > 0;
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------------------
// CRecordTable

CRecordTable::CRecordTable(CppSQLite3Database* db, std::string name)
    : m_pDB(db), m_strName(std::move(name)) {}

int32_t CRecordTable::count() {
  try {
    CheckConnection(m_pDB);
    return m_pDB->queryScalar(Sql("SELECT COUNT(*) from %s", m_strName.c_str()).c_str());
  } catch (...) {
    return 0;
  }
}

CRecord CRecordTable::recordAt(int32_t index) {
  try {
    CheckConnection(m_pDB);
    if (index >= count()) return addRecord();
    CppSQLite3Query row = m_pDB->query(
        Sql("SELECT * FROM %s limit %d, %d", m_strName.c_str(), index, index + 1).c_str());
    if (row.atEnd()) return CRecord();
    const int64_t serial = row.int64Field(kSerialColumn, 0);
    row.finish();
    return CRecord(m_pDB, m_strName, serial);
  } catch (...) {
    return CRecord();
  }
}

CRecord CRecordTable::addRecord() {
  try {
    CheckConnection(m_pDB);
    m_pDB->execute(
        Sql("insert into %s(%s) values (1)", m_strName.c_str(), kInternalUsedColumn).c_str());
    const int64_t row_id = m_pDB->lastInsertRowId();
    CppSQLite3Query row = m_pDB->query(
        Sql("SELECT * FROM %s where rowid=%lld", m_strName.c_str(), static_cast<long long>(row_id))
            .c_str());
    if (row.atEnd()) return CRecord();
    const int64_t serial = row.int64Field(kSerialColumn, 0);
    row.finish();
    return CRecord(m_pDB, m_strName, serial);
  } catch (...) {
    return CRecord();
  }
}

CRecord CRecordTable::recordBySerial(int64_t serial) {
  try {
    CheckConnection(m_pDB);
    CppSQLite3Query row = m_pDB->query(Sql("SELECT * FROM %s where %s=%lld", m_strName.c_str(),
                                           kSerialColumn, static_cast<long long>(serial))
                                           .c_str());
    if (row.atEnd()) return CRecord();
    row.finish();
    return CRecord(m_pDB, m_strName, serial);
  } catch (...) {
    return CRecord();
  }
}

bool CRecordTable::isMissing() {
  try {
    CheckConnection(m_pDB);
    return !m_pDB->hasTable(m_strName.c_str());
  } catch (...) {
    return true;
  }
}

// ---------------------------------------------------------------------------
// CRecordDatabase

CRecordDatabase::CRecordDatabase(std::wstring_view path) {
  try {
    m_strPath = os::ToUtf8(path);
    // An empty name would open a private temporary database that looks open.
    if (!m_strPath.empty()) m_db.open(m_strPath.c_str());
  } catch (...) {
  }
}

void CRecordDatabase::openFrom(const CRecordDatabase& other) {
  try {
    m_db.close();
  } catch (...) {
  }
  try {
    m_strPath = other.m_strPath;
    if (!m_strPath.empty()) m_db.open(m_strPath.c_str());
  } catch (...) {
  }
}

void CRecordDatabase::close() {
  try {
    m_db.close();
  } catch (...) {
  }
}

bool CRecordDatabase::isClosed() const {
  try {
    m_db.isAutoCommit();
    return false;
  } catch (...) {
    return true;
  }
}

CRecordTable CRecordDatabase::getTable(std::wstring_view name) {
  try {
    const std::string table = os::ToUtf8(name);
    if (!m_db.hasTable(table.c_str())) {
      m_db.execute(Sql("CREATE TABLE %s (%s  INTEGER  PRIMARY KEY  AUTOINCREMENT, %s INTEGER)",
                       table.c_str(), kSerialColumn, kInternalUsedColumn)
                       .c_str());
    }
    return CRecordTable(&m_db, table);
  } catch (...) {
    return CRecordTable();
  }
}

int32_t CRecordDatabase::recordCount(std::wstring_view table) { return getTable(table).count(); }

CRecord CRecordDatabase::getRecord(std::wstring_view table, int32_t index) {
  return getTable(table).recordAt(index);
}

bool CRecordDatabase::setInteger(std::wstring_view table, int32_t index, std::wstring_view column,
                                 int32_t value) {
  try {
    CRecordTable records = getTable(table);
    CRecord record = records.recordAt(index);
    if (record.isEmpty()) record = records.addRecord();
    return record.setInteger(column, value);
  } catch (...) {
    return false;
  }
}

bool CRecordDatabase::setText(std::wstring_view table, int32_t index, std::wstring_view column,
                              std::wstring_view text) {
  try {
    CRecordTable records = getTable(table);
    CRecord record = records.recordAt(index);
    if (record.isEmpty()) record = records.addRecord();
    return record.SetValue(column, text);
  } catch (...) {
    return false;
  }
}

std::wstring CRecordDatabase::getText(std::wstring_view table, int32_t index,
                                      std::wstring_view column) {
  try {
    CRecordTable records = getTable(table);
    // recordAt appends past the end; a read must never add a row.
    if (index < 0 || index >= records.count()) return std::wstring();
    CRecord record = records.recordAt(index);
    if (record.isEmpty()) return std::wstring();
    return record.getText(column);
  } catch (...) {
    return std::wstring();
  }
}

bool CRecordDatabase::deleteRecord(std::wstring_view table, int64_t serial) {
  try {
    return getTable(table).recordBySerial(serial).remove();
  } catch (...) {
    return false;
  }
}

void CRecordDatabase::deleteWhere(std::wstring_view table, std::wstring_view condition) {
  try {
    m_db.execute(
        Sql("DELETE FROM %s WHERE %s", os::ToUtf8(table).c_str(), os::ToUtf8(condition).c_str())
            .c_str());
  } catch (...) {
  }
}
