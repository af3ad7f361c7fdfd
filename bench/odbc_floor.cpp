// trellick-odbc-floor CONNECTION-STRING: the statements of standard input,
// one a line, sent through the driver manager and the driver with nothing
// of Trellick's between; the rows of each result written as they are
// fetched, the first flushed at once. What an ODBC client cannot go below:
// the benchmark sets it beside the command line's time to first output.
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

bool ok(SQLRETURN rc) { return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA; }

int fail(const char* what) {
  std::fprintf(stderr, "trellick-odbc-floor: %s failed\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trellick-odbc-floor CONNECTION-STRING < statements\n");
    return 2;
  }
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) ||
      !ok(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                        0)) ||
      !ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)))
    return fail("allocating the handles");
  std::string cs = argv[1];
  if (!ok(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()),
                           static_cast<SQLSMALLINT>(cs.size()), nullptr, 0, nullptr,
                           SQL_DRIVER_NOPROMPT)))
    return fail("connecting");
  bool first = true;
  std::string sql;
  while (std::getline(std::cin, sql)) {
    if (sql.empty()) continue;
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) return fail("allocating a statement");
    if (!ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(sql.data()),
                          static_cast<SQLINTEGER>(sql.size()))))
      return fail(sql.c_str());
    SQLSMALLINT columns = 0;
    SQLNumResultCols(st, &columns);
    char value[4096];
    SQLLEN length = 0;
    while (columns > 0 && SQL_SUCCEEDED(SQLFetch(st))) {
      for (SQLSMALLINT c = 1; c <= columns; ++c) {
        if (!SQL_SUCCEEDED(SQLGetData(st, c, SQL_C_CHAR, value, sizeof value, &length)))
          return fail("reading a value");
        std::fputs(length == SQL_NULL_DATA ? "" : value, stdout);
        std::fputc(c == columns ? '\n' : '|', stdout);
      }
      if (first) std::fflush(stdout);
      first = false;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
  }
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return 0;
}
