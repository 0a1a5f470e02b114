// SimConfig: reads a unit description and keeps its "i2c" section: the
// entry point of the parser. The checks of its members are in
// SimConfigChecks.cpp, the readers of single values in SimConfigValues.cpp,
// jansson, the finding of a member's line and the escaping of quoted text in
// SimConfigJson.cpp.
#include "SimConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SimConfigChecks.h"
#include "SimConfigJson.h"
#include "SimLibc.h"

namespace unitsim
{
using namespace config;

bool SimConfigLoad(const char* pPath, sSimConfig* pConfig)
{
    memset(pConfig, 0, sizeof(*pConfig));
    if (BindJansson())
    {
        return true;
    }
    char* pText = nullptr;
    size_t Size = 0;
    if (ReadWhole(pPath, &pText, &Size))
    {
        ReportError("%s: cannot read the unit description: %s", pPath, strerror(errno));
        return true;
    }
    json_error_t Error;
    json_t* pUnit = Jansson.pLoadBuffer(pText, Size, JSON_REJECT_DUPLICATES, &Error);
    bool Failed = true;
    if (pUnit == nullptr)
    {
        char Text[4 * sizeof(Error.text)];     // it quotes the text near the fault
        SimConfigEscape(Error.text, Text, sizeof(Text));
        ReportError("%s:%d: %s", pPath, Error.line, Text);
    }
    else
    {
        sParse Parse = {pPath, pText, Size, {}, 0};
        Failed = ParseUnit(&Parse, pUnit, pConfig);
        Jansson.pDelete(pUnit);
    }
    free(pText);
    if (Failed)
    {
        memset(pConfig, 0, sizeof(*pConfig));
    }
    return Failed;
}
}
