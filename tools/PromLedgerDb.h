// PromLedgerDb: the database under the ledger of issued identities, as the
// ledger (PromLedger) uses it: SQL statements whose parameters and results
// are text, transactions, and the one thing the two databases do apart, the
// lock that lets one station at a time change the ledger. Two
// implementations: an SQLite file on one PC (PromLedgerSqlite) and a
// PostgreSQL server for stations on several PCs (PromLedgerPostgres).
#ifndef TOOLS_PROMLEDGERDB_H
#define TOOLS_PROMLEDGERDB_H

#include <string>
#include <vector>

// The rows of a result, each its columns as text (NULL as the empty text).
typedef std::vector<std::vector<std::string>> LedgerRows_t;

class cLedgerDb
{
public:
    virtual ~cLedgerDb() = default;
    // Runs one statement whose parameters are written "?" and bound to
    // Params in order; *pRows (when given) gets the rows it returns.
    // Returns true on failure (Error() says why).
    virtual bool Run(const std::string& Sql, const std::vector<std::string>& Params, LedgerRows_t* pRows = nullptr) = 0;
    // Begins a transaction that only one connection at a time holds, on
    // every station: waits while another holds one. Readers go on.
    // Returns true on failure.
    virtual bool BeginExclusive() = 0;
    // True when the database holds a table of that name.
    virtual bool HasTable(const char* pTable, bool* pHas) = 0;
    // The type of a text column that compares byte by byte.
    virtual const char* BinaryText() const = 0;
    // Why the last call failed, in one line.
    virtual std::string Error() const = 0;
    // The database for messages ("SQLite file F", "PostgreSQL database D
    // on H"): never a password.
    virtual std::string Where() const = 0;
};

#endif
