// UtilityAppDelete: removal of the leftover EEPROM utility programs.
#include "UtilityAppDelete.h"

#include <cstdio>
#include <unistd.h>

#include "PromContract.h"

namespace
{
const char* const OriginalUtilityApp = "/root/zel_sysapp/zel_prom_utility";
const char* const UtilityAppCopy = "/root/zel_sysapp/prom_utility";

// Removes pPath when it exists; prints pFailure as an error line when the
// removal fails. An absent file is not an error and prints nothing.
void RemoveIfPresent(const char* pPath, const char* pFailure)
{
    if (0 == access(pPath, F_OK) && 0 != remove(pPath))
    {
        printf("%s", PromErrorTag);
        printf("%s\n", pFailure);
    }
}
}

void UtilityAppDelete()
{
    RemoveIfPresent(OriginalUtilityApp, "Could not delete original utility app.");
    RemoveIfPresent(UtilityAppCopy, "Could not delete utility app copy.");
}
