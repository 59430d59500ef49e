# SQLite compiled from its amalgamation, for targets that have no system
# SQLite (Debian has none for mingw-w64); scripts/fetch-sqlite puts the two
# files in STRANDEL_SQLITE_DIR. It stands in for find_package(SQLite3).
set(STRANDEL_SQLITE_DIR "" CACHE PATH "Directory holding sqlite3.c and sqlite3.h")
if(NOT EXISTS "${STRANDEL_SQLITE_DIR}/sqlite3.c")
  message(FATAL_ERROR "STRANDEL_SQLITE_DIR must hold the SQLite amalgamation (scripts/fetch-sqlite DIR)")
endif()
add_library(strandel_sqlite3 STATIC ${STRANDEL_SQLITE_DIR}/sqlite3.c)
target_include_directories(strandel_sqlite3 SYSTEM PUBLIC ${STRANDEL_SQLITE_DIR})
# Serialized mode, as Debian builds it; the module never loads extensions.
target_compile_definitions(strandel_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
                                                    SQLITE_DQS=0)
target_compile_options(strandel_sqlite3 PRIVATE -w)
add_library(SQLite::SQLite3 ALIAS strandel_sqlite3)
