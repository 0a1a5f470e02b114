// PromLedger: the ledger of issued identities. Every serial number and MAC
// address promtool issues is recorded once, with the unit name, the chip
// image's SHA-256, promtool's version, the station (host name) and the
// time, and later when the unit's chip was written with that image.
//
// What it guards against, and how:
// - The same serial number or MAC address issued twice, also by two
//   stations at the same moment: a station issues inside a transaction that
//   one station at a time holds (the others wait), reads what is taken
//   there, and the table's UNIQUE constraints refuse a duplicate whatever
//   happens.
// - A batch cut short (a crash, a power loss, a failed write): its units
//   are recorded in one transaction, so all of them are, or none.
// - A unit marked written that holds another image: the chip's SHA-256
//   must be the issued image's.
// The same SQL runs on both databases (PromLedgerDb): an SQLite file on one
// PC, a PostgreSQL server for several.
#ifndef TOOLS_PROMLEDGER_H
#define TOOLS_PROMLEDGER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PromLedgerDb.h"

// A unit as the ledger holds it. Texts as they are stored: the MAC address
// as "aa:bb:cc:dd:ee:ff" in lower case, times in UTC as
// "2026-12-08T09:30:00Z".
struct LedgerUnit_s
{
    std::string Serial;         // six digits
    std::string Mac;
    std::string Name;           // UTF-8, at most 15 bytes
    std::string ImageSha256;    // of the 4096-byte chip image, in hex
    std::string ToolVersion;    // of the promtool that issued it
    std::string Station;        // the host name of the station that issued it
    std::string IssuedAt;
    std::string WrittenAt;      // empty: not marked written
    std::string WrittenStation; // the station that marked it written
};

// What a chip write reports of a unit's chip, which marks it written.
struct ChipWritten_s
{
    std::string Serial;
    std::string Mac;
    std::string ChipSha256;     // of the whole chip, read back after the write
};

class cLedger
{
public:
    // Opens the ledger at Location: a PostgreSQL connection string
    // (IsPostgresLocation) or the path of an SQLite file. Create makes the
    // file (SQLite) and the ledger's table where they are missing; otherwise
    // a missing one is an error. Returns null after setting *pError.
    static std::unique_ptr<cLedger> Open(const std::string& Location, bool Create, std::string* pError);
    // The ledger for messages; never a password.
    std::string Where() const;
    // Why the last call failed, in one line.
    const std::string& Error() const;

    // Issuing. BeginIssue waits until no other station issues and holds
    // them off until Commit or Rollback. Each returns true on failure.
    bool BeginIssue();
    // The units that hold any of Serials or Macs.
    bool Holders(const std::vector<std::string>& Serials, const std::vector<std::string>& Macs,
                 std::vector<LedgerUnit_s>* pHolders);
    // Up to Count serial numbers in [First, Last] that no unit holds, the
    // lowest first; fewer when the range has no more.
    bool FreeSerials(uint32_t First, uint32_t Last, size_t Count, std::vector<uint32_t>* pFree);
    // Up to Count MAC addresses (as 48-bit numbers) in [First, Last] that
    // no unit holds, the lowest first.
    bool FreeMacs(uint64_t First, uint64_t Last, size_t Count, std::vector<uint64_t>* pFree);
    // Records the units (serial, MAC, name, image SHA-256 given), issued by
    // this station now, by this promtool.
    bool Record(const std::vector<LedgerUnit_s>& Units);
    bool Commit();
    // Ends the transaction, recording nothing of it.
    void Rollback();

    // The unit that holds Key, a serial number or a MAC address as stored.
    // *pFound tells whether there is one. Returns true on failure.
    bool Find(const std::string& Key, LedgerUnit_s* pUnit, bool* pFound);
    // Every unit, by serial number.
    bool List(std::vector<LedgerUnit_s>* pUnits);
    // Why the ledger did not issue the image Chip describes to its unit
    // (unknown serial number, another MAC address, another image); empty
    // when it did. Returns true on failure.
    bool CheckIssued(const ChipWritten_s& Chip, std::string* pWhy);
    // Marks the units whose chips were written as written by this station
    // now: all of them, or none when one is not the ledger's (unknown
    // serial number, another MAC address, another image than the one
    // issued; Error() names it). Returns true on failure.
    bool MarkWritten(const std::vector<ChipWritten_s>& Chips);

private:
    explicit cLedger(std::unique_ptr<cLedgerDb> pDb);
    bool Fail(const std::string& Why);
    // The values of pColumn in [First, Last], ascending. Returns true on
    // failure.
    bool Taken(const char* pColumn, const std::string& First, const std::string& Last,
               std::vector<std::string>* pTaken);

    std::unique_ptr<cLedgerDb> pDb;
    std::string LastError;
};

// "aa:bb:cc:dd:ee:ff" of a 48-bit number, and the number of six bytes.
std::string MacOfNumber(uint64_t Number);
uint64_t NumberOfMac(const uint8_t* pMac);
// The time now in UTC, as the ledger stores it.
std::string LedgerTimeNow();
// This station: the host name.
std::string StationName();

#endif
