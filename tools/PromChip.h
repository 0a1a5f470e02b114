// PromChip: promtool chip read|show|write, the identity EEPROM itself on the
// unit (a simulated one on a PC), reached through PromChipAccess. Writing the
// chip lives here, in the tools package, and never in the service.
#ifndef TOOLS_PROMCHIP_H
#define TOOLS_PROMCHIP_H

// promtool chip read|show|write ...; argv[0] is "chip". Returns the exit
// status.
int PromChipCommand(int argc, char* argv[]);

#endif
