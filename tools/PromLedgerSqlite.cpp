// PromLedgerSqlite: the ledger's database in an SQLite file.
#include "PromLedgerSqlite.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include <sqlite3.h>

namespace
{
// How long a station waits for another that issues (a batch of 100,000
// units takes a minute or so) before it gives up.
const int BusyTimeoutMs = 10 * 60 * 1000;

class cSqliteLedgerDb : public cLedgerDb
{
public:
    cSqliteLedgerDb(sqlite3* pDb, const std::string& Path) : pDb(pDb), Path(Path) {}
    ~cSqliteLedgerDb() override
    {
        sqlite3_close_v2(pDb);
    }
    cSqliteLedgerDb(const cSqliteLedgerDb&) = delete;
    cSqliteLedgerDb& operator=(const cSqliteLedgerDb&) = delete;

    bool Run(const std::string& Sql, const std::vector<std::string>& Params, LedgerRows_t* pRows) override
    {
        sqlite3_stmt* pStatement = nullptr;
        if (sqlite3_prepare_v2(pDb, Sql.c_str(), -1, &pStatement, nullptr) != SQLITE_OK)
        {
            return Failed();
        }
        for (size_t i = 0; i < Params.size(); i++)
        {
            sqlite3_bind_text(pStatement, static_cast<int>(i + 1), Params[i].c_str(), -1, SQLITE_TRANSIENT);
        }
        int Status;
        while ((Status = sqlite3_step(pStatement)) == SQLITE_ROW)
        {
            if (pRows == nullptr)
            {
                continue;
            }
            pRows->emplace_back();
            for (int Column = 0; Column < sqlite3_column_count(pStatement); Column++)
            {
                const unsigned char* pText = sqlite3_column_text(pStatement, Column);
                pRows->back().push_back(pText != nullptr ? reinterpret_cast<const char*>(pText) : "");
            }
        }
        sqlite3_finalize(pStatement);
        return Status != SQLITE_DONE && Failed();
    }

    bool BeginExclusive() override
    {
        // IMMEDIATE: the write lock now, not at the first write, so that two
        // stations cannot both read the free serial numbers before either
        // writes.
        return Run("BEGIN IMMEDIATE", {}, nullptr);
    }

    bool HasTable(const char* pTable, bool* pHas) override
    {
        LedgerRows_t Rows;
        if (Run("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?", {pTable}, &Rows))
        {
            return true;
        }
        *pHas = Rows.at(0).at(0) != "0";
        return false;
    }

    const char* BinaryText() const override
    {
        return "TEXT";      // SQLite compares text byte by byte unless told otherwise
    }

    std::string Error() const override
    {
        return LastError;
    }

    std::string Where() const override
    {
        return "SQLite file " + Path;
    }

private:
    bool Failed()
    {
        LastError = sqlite3_errmsg(pDb);
        return true;
    }

    sqlite3* pDb;
    std::string Path;
    std::string LastError;
};
}

std::unique_ptr<cLedgerDb> OpenSqliteLedgerDb(const std::string& Path, bool Create, std::string* pError)
{
    struct stat Info;
    if (!Create && stat(Path.c_str(), &Info) != 0)
    {
        *pError = "no ledger at " + Path + " (" + strerror(errno) + "; promtool ledger init makes one)";
        return nullptr;
    }
    sqlite3* pDb = nullptr;
    int Flags = SQLITE_OPEN_READWRITE | (Create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(Path.c_str(), &pDb, Flags, nullptr) != SQLITE_OK)
    {
        *pError = "cannot open " + Path + ": " + (pDb != nullptr ? sqlite3_errmsg(pDb) : "out of memory");
        sqlite3_close_v2(pDb);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb, BusyTimeoutMs);
    std::unique_ptr<cLedgerDb> pLedgerDb(new cSqliteLedgerDb(pDb, Path));
    // FULL: a commit is on the disk, journal and database, when it returns.
    if (pLedgerDb->Run("PRAGMA synchronous = FULL", {}, nullptr))
    {
        *pError = Path + ": " + pLedgerDb->Error();
        return nullptr;
    }
    return pLedgerDb;
}
