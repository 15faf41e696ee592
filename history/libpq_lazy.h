// libpq, loaded the first time a PostgreSQL store is opened rather than when the program starts:
// it brings some twenty libraries (Kerberos, LDAP, GnuTLS) whose loading would add milliseconds
// to every run of the tool and the console, most of which never use PostgreSQL.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace history::lib {

// Loads libpq once; false (why says so) when it is not installed.
bool load_libpq(std::string* why);

// The libpq calls the store makes, through the loaded library. Only after load_libpq().
// clang-format off
#define DRAVLIN_PQ_CALLS(X) \
    X(PQclear) \
    X(PQconndefaults) \
    X(PQconnectdbParams) \
    X(PQconninfoFree) \
    X(PQconninfoParse) \
    X(PQerrorMessage) \
    X(PQexec) \
    X(PQexecParams) \
    X(PQfinish) \
    X(PQfreemem) \
    X(PQgetisnull) \
    X(PQgetlength) \
    X(PQgetvalue) \
    X(PQntuples) \
    X(PQresultErrorMessage) \
    X(PQresultStatus) \
    X(PQsetNoticeProcessor) \
    X(PQstatus)
// clang-format on

#define DRAVLIN_PQ_POINTER(name) extern decltype(&::name) name;
DRAVLIN_PQ_CALLS(DRAVLIN_PQ_POINTER)
#undef DRAVLIN_PQ_POINTER

}  // namespace history::lib
