// UtilityAppDelete: removes two leftover utility programs from the unit's
// file system once, right after start-up. A failed removal is reported on
// standard output and never stops the service.
#ifndef EEPROM_MANAGER_UTILITYAPPDELETE_H
#define EEPROM_MANAGER_UTILITYAPPDELETE_H

// Removes the leftover files that exist; reports each removal that fails.
void UtilityAppDelete();

#endif
