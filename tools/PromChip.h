// PromChip: promtool chip read|show|write, the identity EEPROM itself on the
// unit (a simulated one on a PC), reached through PromChipAccess: the chip's
// bytes read out or shown as they are stored, or a whole chip image written
// (the service itself only ever writes its own record, renamed).
#ifndef TOOLS_PROMCHIP_H
#define TOOLS_PROMCHIP_H

// promtool chip read|show|write ...; argv[0] is "chip". Returns the exit
// status.
int PromChipCommand(int argc, char* argv[]);

#endif
