// PromLedgerCommand: promtool ledger init|show|export|mark-written, and how
// promtool's other commands reach the ledger (PromLedger): the --ledger
// option and its default, and chip write's check and mark.
#ifndef TOOLS_PROMLEDGERCOMMAND_H
#define TOOLS_PROMLEDGERCOMMAND_H

#include <memory>

#include "PromCommandLine.h"
#include "PromLedger.h"

// The environment variable that names the ledger where --ledger does not.
extern const char* const LedgerVariable;

// The --ledger LEDGER option, kept in *ppLocation.
CommandOption_s LedgerOption(const char** ppLocation);
// The ledger pGiven names, or else LedgerVariable; null when neither does.
const char* LedgerLocation(const char* pGiven);
// Opens the ledger pLocation names (null: the one of LedgerVariable); Create
// makes it where it is missing. Returns null after reporting, with
// *pStatus ExitUsage when no ledger is named, ExitFailed otherwise.
std::unique_ptr<cLedger> OpenLedger(const char* pCommand, const char* pLocation, bool Create, int* pStatus);

// chip write's link to the ledger (--ledger): before the write, the chip
// image pImage must be the one the ledger issued to its serial number;
// after it, the unit is marked written. Each returns true after reporting.
bool CheckChipImageIssued(const char* pLocation, const uint8_t* pImage);
bool MarkChipWritten(const char* pLocation, const uint8_t* pImage);

// promtool ledger ...; argv[0] is "ledger". Returns the exit status.
int PromLedgerCommand(int argc, char* argv[]);

#endif
