// PromLedgerPostgres: the ledger's database on a PostgreSQL server, through
// libpq.
#include "PromLedgerPostgres.h"

#include <cstring>

#include <libpq-fe.h>

namespace
{
// The advisory lock of stations that change the ledger: any number that
// other programs on the same database do not use ("prom" in ASCII).
const char* const LedgerLockKey = "1886548845";

// libpq's messages end with a line end, some span lines, indented: one line.
std::string OneLine(const char* pMessage)
{
    std::string Line;
    for (const char* p = pMessage; *p != '\0'; p++)
    {
        bool Break = *p == '\n';
        p += Break ? strspn(p + 1, " \t") : 0;
        Line += Break ? ' ' : *p;
    }
    Line.erase(Line.find_last_not_of(' ') + 1);
    return Line;
}

// The server's notices ("relation ... already exists, skipping") are not
// promtool's to show.
void IgnoreNotice(void*, const char*) {}

class cPostgresLedgerDb : public cLedgerDb
{
public:
    explicit cPostgresLedgerDb(PGconn* pConn) : pConn(pConn) {}
    ~cPostgresLedgerDb() override
    {
        PQfinish(pConn);
    }
    cPostgresLedgerDb(const cPostgresLedgerDb&) = delete;
    cPostgresLedgerDb& operator=(const cPostgresLedgerDb&) = delete;

    bool Run(const std::string& Sql, const std::vector<std::string>& Params, LedgerRows_t* pRows) override
    {
        // libpq numbers its parameters: $1, $2, ... The statements hold no
        // "?" but their parameters'.
        std::string Numbered;
        int Count = 0;
        for (char c : Sql)
        {
            Numbered += c == '?' ? "$" + std::to_string(++Count) : std::string(1, c);
        }
        std::vector<const char*> Values;
        for (const std::string& Param : Params)
        {
            Values.push_back(Param.c_str());
        }
        PGresult* pResult = PQexecParams(pConn, Numbered.c_str(), static_cast<int>(Values.size()), nullptr,
                                         Values.data(), nullptr, nullptr, 0);
        ExecStatusType Status = PQresultStatus(pResult);
        bool Failed = Status != PGRES_COMMAND_OK && Status != PGRES_TUPLES_OK;
        if (Failed)
        {
            LastError = OneLine(pResult != nullptr ? PQresultErrorMessage(pResult) : PQerrorMessage(pConn));
        }
        for (int Row = 0; !Failed && pRows != nullptr && Row < PQntuples(pResult); Row++)
        {
            pRows->emplace_back();
            for (int Column = 0; Column < PQnfields(pResult); Column++)
            {
                pRows->back().push_back(PQgetvalue(pResult, Row, Column));
            }
        }
        PQclear(pResult);
        return Failed;
    }

    bool BeginExclusive() override
    {
        if (Run("BEGIN", {}, nullptr))
        {
            return true;
        }
        // Held until the transaction ends, however it ends.
        if (Run("SELECT pg_advisory_xact_lock(?)", {LedgerLockKey}, nullptr))
        {
            std::string Cause = LastError;
            Run("ROLLBACK", {}, nullptr);
            LastError = Cause;
            return true;
        }
        return false;
    }

    bool HasTable(const char* pTable, bool* pHas) override
    {
        LedgerRows_t Rows;
        if (Run("SELECT to_regclass(?) IS NOT NULL", {pTable}, &Rows))
        {
            return true;
        }
        *pHas = Rows.at(0).at(0) == "t";
        return false;
    }

    const char* BinaryText() const override
    {
        // The database's collation may order text by a language's rules.
        return "TEXT COLLATE \"C\"";
    }

    std::string Error() const override
    {
        return LastError;
    }

    std::string Where() const override
    {
        return std::string("PostgreSQL database ") + PQdb(pConn) + " on " + PQhost(pConn);
    }

private:
    PGconn* pConn;
    std::string LastError;
};
}

bool IsPostgresLocation(const std::string& Location)
{
    return Location.rfind("postgresql://", 0) == 0 || Location.rfind("postgres://", 0) == 0
           || Location.find('=') != std::string::npos;
}

std::unique_ptr<cLedgerDb> OpenPostgresLedgerDb(const std::string& Conninfo, std::string* pError)
{
    PGconn* pConn = PQconnectdb(Conninfo.c_str());
    if (PQstatus(pConn) != CONNECTION_OK)
    {
        *pError = "cannot connect to the PostgreSQL ledger: " + OneLine(PQerrorMessage(pConn));
        PQfinish(pConn);
        return nullptr;
    }
    PQsetNoticeProcessor(pConn, IgnoreNotice, nullptr);
    // Names are UTF-8 whatever the station's locale says.
    if (PQsetClientEncoding(pConn, "UTF8") != 0)
    {
        *pError = "the PostgreSQL ledger does not take UTF-8: " + OneLine(PQerrorMessage(pConn));
        PQfinish(pConn);
        return nullptr;
    }
    return std::unique_ptr<cLedgerDb>(new cPostgresLedgerDb(pConn));
}
