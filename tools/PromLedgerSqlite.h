// PromLedgerSqlite: the ledger's database as an SQLite file, for the
// stations of one PC. SQLite's own locking serialises the stations (a
// station that issues holds the file's write lock until it commits; the
// others wait for it, readers go on), and every commit is synced to disk
// before it returns. The file must be on a local disk: SQLite's locks are
// not to be trusted on a network share, where the PostgreSQL ledger
// belongs.
#ifndef TOOLS_PROMLEDGERSQLITE_H
#define TOOLS_PROMLEDGERSQLITE_H

#include <memory>
#include <string>

#include "PromLedgerDb.h"

// Opens the SQLite file at Path; Create makes it when it is missing,
// otherwise a missing file is an error. Returns null after setting *pError.
std::unique_ptr<cLedgerDb> OpenSqliteLedgerDb(const std::string& Path, bool Create, std::string* pError);

#endif
