// PromLedgerPostgres: the ledger's database on a PostgreSQL server, for
// stations on several PCs. A station that changes the ledger holds a
// transaction-level advisory lock until it commits, which the others wait
// for; readers go on. The server makes a commit durable before it answers.
#ifndef TOOLS_PROMLEDGERPOSTGRES_H
#define TOOLS_PROMLEDGERPOSTGRES_H

#include <memory>
#include <string>

#include "PromLedgerDb.h"

// True when Location is a PostgreSQL connection string: a URI
// (postgresql://, postgres://) or libpq's key=value words.
bool IsPostgresLocation(const std::string& Location);

// Connects with the connection string Conninfo (a password in it, in
// PGPASSWORD or in ~/.pgpass, as libpq takes them). Returns null after
// setting *pError.
std::unique_ptr<cLedgerDb> OpenPostgresLedgerDb(const std::string& Conninfo, std::string* pError);

#endif
