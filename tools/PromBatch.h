// PromBatch: promtool image batch: identities for many units at once, from a
// CSV file or allocated from ranges, each recorded in the ledger
// (PromLedger), with a chip image per unit and a manifest.
//
// All or nothing: any bad line, or a serial number or MAC address the
// ledger holds already, and nothing is issued or written. The images and
// the manifest are written into a hidden directory beside the output
// directory and synced to disk; then the ledger commits the batch; then
// the hidden directory becomes the output directory. A batch cut short
// before the commit leaves no record and a hidden directory of images that
// were never issued (.DIR.XXXXXX: delete it); after the commit, the records
// and that directory with every image.
#ifndef TOOLS_PROMBATCH_H
#define TOOLS_PROMBATCH_H

// promtool image batch ...; argv[0] is "batch". Returns the exit status.
int PromBatchCommand(int argc, char* argv[]);

#endif
