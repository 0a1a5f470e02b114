// PromLedger: the ledger of issued identities, in SQL that runs on SQLite and
// PostgreSQL alike.
#include "PromLedger.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "PromContract.h"
#include "PromLedgerPostgres.h"
#include "PromLedgerSqlite.h"
#include "PromRecord.h"

namespace
{
const char* const Table = "promtool_units";
// The columns in the order of LedgerUnit_s.
const char* const Columns =
    "serial, mac, name, image_sha256, tool_version, station, issued_at, written_at, written_station";
const size_t RecordColumns = 7;     // those a unit is issued with
// Parameters per statement, well below SQLite's 32,766 and libpq's 65,535.
const size_t ChunkParams = 700;

LedgerUnit_s UnitOfRow(const std::vector<std::string>& Row)
{
    return {Row.at(0), Row.at(1), Row.at(2), Row.at(3), Row.at(4), Row.at(5), Row.at(6), Row.at(7), Row.at(8)};
}

std::string SerialText(uint32_t Serial)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "%06u", static_cast<unsigned>(Serial));
    return Text;
}

// The numbers in [First, Last] missing from Taken (ascending, all within
// [First, Last]), up to Count of them, the lowest first.
template <typename Number>
std::vector<Number> Gaps(Number First, Number Last, const std::vector<Number>& Taken, size_t Count)
{
    std::vector<Number> Free;
    size_t Next = 0;
    for (Number Candidate = First; Free.size() < Count; Candidate++)
    {
        if (Next < Taken.size() && Taken[Next] == Candidate)
        {
            Next++;
        }
        else
        {
            Free.push_back(Candidate);
        }
        if (Candidate == Last)
        {
            break;
        }
    }
    return Free;
}

// "?, ?, ?" for Count parameters.
std::string Marks(size_t Count)
{
    std::string Text;
    for (size_t i = 0; i < Count; i++)
    {
        Text += i == 0 ? "?" : ", ?";
    }
    return Text;
}
}

cLedger::cLedger(std::unique_ptr<cLedgerDb> pDb) : pDb(std::move(pDb)) {}

std::unique_ptr<cLedger> cLedger::Open(const std::string& Location, bool Create, std::string* pError)
{
    std::unique_ptr<cLedgerDb> pDb = IsPostgresLocation(Location) ? OpenPostgresLedgerDb(Location, pError)
                                                                  : OpenSqliteLedgerDb(Location, Create, pError);
    if (pDb == nullptr)
    {
        return nullptr;
    }
    bool Has = false;
    if (pDb->HasTable(Table, &Has))
    {
        *pError = pDb->Where() + ": " + pDb->Error();
        return nullptr;
    }
    if (!Has && !Create)
    {
        *pError = pDb->Where() + " holds no ledger (promtool ledger init makes one)";
        return nullptr;
    }
    // Two stations may make it at once: one at a time, and only once.
    std::string Text = pDb->BinaryText();
    std::string Schema = std::string("CREATE TABLE IF NOT EXISTS ") + Table + " (serial " + Text
                         + " PRIMARY KEY CHECK (length(serial) = 6), mac " + Text
                         + " NOT NULL UNIQUE CHECK (length(mac) = 17), name TEXT NOT NULL, "
                           "image_sha256 TEXT NOT NULL, tool_version TEXT NOT NULL, station TEXT NOT NULL, "
                           "issued_at TEXT NOT NULL, written_at TEXT, written_station TEXT)";
    if (!Has && (pDb->BeginExclusive() || pDb->Run(Schema, {}) || pDb->Run("COMMIT", {})))
    {
        *pError = pDb->Where() + ": cannot make the ledger: " + pDb->Error();
        return nullptr;
    }
    return std::unique_ptr<cLedger>(new cLedger(std::move(pDb)));
}

std::string cLedger::Where() const
{
    return pDb->Where();
}

const std::string& cLedger::Error() const
{
    return LastError;
}

bool cLedger::Fail(const std::string& Why)
{
    LastError = Why;
    return true;
}

bool cLedger::BeginIssue()
{
    return pDb->BeginExclusive() && Fail(pDb->Error());
}

bool cLedger::Holders(const std::vector<std::string>& Serials, const std::vector<std::string>& Macs,
                      std::vector<LedgerUnit_s>* pHolders)
{
    for (size_t Done = 0; Done < Serials.size() || Done < Macs.size(); Done += ChunkParams / 2)
    {
        std::vector<std::string> Params;
        size_t SerialCount = Done < Serials.size() ? std::min(ChunkParams / 2, Serials.size() - Done) : 0;
        size_t MacCount = Done < Macs.size() ? std::min(ChunkParams / 2, Macs.size() - Done) : 0;
        Params.insert(Params.end(), Serials.begin() + Done, Serials.begin() + Done + SerialCount);
        Params.insert(Params.end(), Macs.begin() + Done, Macs.begin() + Done + MacCount);
        LedgerRows_t Rows;
        if (pDb->Run(std::string("SELECT ") + Columns + " FROM " + Table + " WHERE serial IN (" + Marks(SerialCount)
                         + ") OR mac IN (" + Marks(MacCount) + ")",
                     Params, &Rows))
        {
            return Fail(pDb->Error());
        }
        for (const auto& Row : Rows)
        {
            pHolders->push_back(UnitOfRow(Row));
        }
    }
    return false;
}

bool cLedger::Taken(const char* pColumn, const std::string& First, const std::string& Last,
                    std::vector<std::string>* pTaken)
{
    LedgerRows_t Rows;
    if (pDb->Run(std::string("SELECT ") + pColumn + " FROM " + Table + " WHERE " + pColumn + " BETWEEN ? AND ? ORDER BY "
                     + pColumn,
                 {First, Last}, &Rows))
    {
        return Fail(pDb->Error());
    }
    for (const auto& Row : Rows)
    {
        pTaken->push_back(Row.at(0));
    }
    return false;
}

bool cLedger::FreeSerials(uint32_t First, uint32_t Last, size_t Count, std::vector<uint32_t>* pFree)
{
    std::vector<std::string> Serials;
    std::vector<uint32_t> Numbers;
    if (Taken("serial", SerialText(First), SerialText(Last), &Serials))
    {
        return true;
    }
    for (const std::string& Serial : Serials)
    {
        Numbers.push_back(static_cast<uint32_t>(std::stoul(Serial)));
    }
    *pFree = Gaps(First, Last, Numbers, Count);
    return false;
}

bool cLedger::FreeMacs(uint64_t First, uint64_t Last, size_t Count, std::vector<uint64_t>* pFree)
{
    std::vector<std::string> Macs;
    std::vector<uint64_t> Numbers;
    if (Taken("mac", MacOfNumber(First), MacOfNumber(Last), &Macs))
    {
        return true;
    }
    for (const std::string& Text : Macs)
    {
        uint8_t Mac[6];
        if (ParseMac(Text.c_str(), Mac))
        {
            return Fail("the ledger holds a malformed MAC address '" + Text + "'");
        }
        Numbers.push_back(NumberOfMac(Mac));
    }
    *pFree = Gaps(First, Last, Numbers, Count);
    return false;
}

bool cLedger::Record(const std::vector<LedgerUnit_s>& Units)
{
    std::string Now = LedgerTimeNow();
    std::string Station = StationName();
    const size_t PerStatement = ChunkParams / RecordColumns;
    for (size_t Done = 0; Done < Units.size(); Done += PerStatement)
    {
        std::string Sql = std::string("INSERT INTO ") + Table
                          + " (serial, mac, name, image_sha256, tool_version, station, issued_at) VALUES ";
        std::vector<std::string> Params;
        for (size_t i = Done; i < Units.size() && i < Done + PerStatement; i++)
        {
            Sql += (i == Done ? "(" : ", (") + Marks(RecordColumns) + ")";
            Params.insert(Params.end(), {Units[i].Serial, Units[i].Mac, Units[i].Name, Units[i].ImageSha256,
                                         PromVersionText, Station, Now});
        }
        if (pDb->Run(Sql, Params))
        {
            return Fail(pDb->Error());
        }
    }
    return false;
}

bool cLedger::Commit()
{
    return pDb->Run("COMMIT", {}) && Fail(pDb->Error());
}

void cLedger::Rollback()
{
    pDb->Run("ROLLBACK", {});
}

bool cLedger::Find(const std::string& Key, LedgerUnit_s* pUnit, bool* pFound)
{
    LedgerRows_t Rows;
    // No serial number is a MAC address: one unit at most.
    if (pDb->Run(std::string("SELECT ") + Columns + " FROM " + Table + " WHERE serial = ? OR mac = ?", {Key, Key},
                 &Rows))
    {
        return Fail(pDb->Error());
    }
    *pFound = !Rows.empty();
    if (*pFound)
    {
        *pUnit = UnitOfRow(Rows[0]);
    }
    return false;
}

bool cLedger::List(std::vector<LedgerUnit_s>* pUnits)
{
    LedgerRows_t Rows;
    if (pDb->Run(std::string("SELECT ") + Columns + " FROM " + Table + " ORDER BY serial", {}, &Rows))
    {
        return Fail(pDb->Error());
    }
    for (const auto& Row : Rows)
    {
        pUnits->push_back(UnitOfRow(Row));
    }
    return false;
}

bool cLedger::CheckIssued(const ChipWritten_s& Chip, std::string* pWhy)
{
    LedgerUnit_s Unit;
    bool Found = false;
    if (Find(Chip.Serial, &Unit, &Found))
    {
        return true;
    }
    *pWhy = !Found ? "the ledger holds no unit with serial number " + Chip.Serial
            : Unit.Mac != Chip.Mac
                ? "serial number " + Chip.Serial + " was issued with MAC address " + Unit.Mac + ", not " + Chip.Mac
            : Unit.ImageSha256 != Chip.ChipSha256
                ? "the image of " + Chip.Serial + " is not the one issued to it (SHA-256 " + Chip.ChipSha256
                      + ", issued " + Unit.ImageSha256 + ")"
                : "";
    return false;
}

bool cLedger::MarkWritten(const std::vector<ChipWritten_s>& Chips)
{
    if (pDb->BeginExclusive())
    {
        return Fail(pDb->Error());
    }
    std::string Now = LedgerTimeNow();
    std::string Station = StationName();
    for (const ChipWritten_s& Chip : Chips)
    {
        std::string Why;
        if (CheckIssued(Chip, &Why)
            || (Why.empty()
                && pDb->Run(std::string("UPDATE ") + Table + " SET written_at = ?, written_station = ? WHERE serial = ?",
                            {Now, Station, Chip.Serial})
                && Fail(pDb->Error())))
        {
            Why = LastError;
        }
        if (!Why.empty())
        {
            Rollback();
            return Fail(Why);
        }
    }
    return Commit();
}

std::string MacOfNumber(uint64_t Number)
{
    uint8_t Mac[6];
    for (int i = 5; i >= 0; i--, Number >>= 8)
    {
        Mac[i] = static_cast<uint8_t>(Number);
    }
    return MacText(Mac);
}

uint64_t NumberOfMac(const uint8_t* pMac)
{
    uint64_t Number = 0;
    for (int i = 0; i < 6; i++)
    {
        Number = Number << 8 | pMac[i];
    }
    return Number;
}

std::string LedgerTimeNow()
{
    time_t Now = time(nullptr);
    struct tm Utc;
    gmtime_r(&Now, &Utc);
    char Text[32];
    strftime(Text, sizeof(Text), "%Y-%m-%dT%H:%M:%SZ", &Utc);
    return Text;
}

std::string StationName()
{
    char Name[HOST_NAME_MAX + 1] = {};
    gethostname(Name, sizeof(Name) - 1);
    return Name;
}
