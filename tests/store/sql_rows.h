// Reading and writing a database file as another program would, for the store's tests.
#pragma once

#include <string>
#include <vector>

#include "store/cppsqlite3.h"

// Every row of sql, read on a connection of its own; columns joined with '|',
// NULL shown as "NULL".
inline std::vector<std::string> Rows(const std::string& db_path, const std::string& sql) {
  CppSQLite3Database raw;
  raw.open(db_path.c_str());
  std::vector<std::string> rows;
  for (CppSQLite3Query q = raw.query(sql.c_str()); !q.atEnd(); q.next()) {
    std::string row;
    for (int c = 0; c < q.fieldCount(); ++c) {
      if (c > 0) row += '|';
      row += q.isNull(c) ? "NULL" : q.fieldText(c);
    }
    rows.push_back(row);
  }
  return rows;
}

inline void Execute(const std::string& db_path, const std::string& sql) {
  CppSQLite3Database raw;
  raw.open(db_path.c_str());
  raw.execute(sql.c_str());
}
