// SimConfigChecks: the checks of every member of the unit description, which
// keep its "i2c" section.
#ifndef SIM_I2C_SIMCONFIGCHECKS_H
#define SIM_I2C_SIMCONFIGCHECKS_H

#include <jansson.h>

#include "SimConfigI2c.h"
#include "SimConfigJson.h"

namespace unitsim
{
namespace config
{
// Checks the whole description pUnit and keeps its "i2c" section in
// *pConfig. Returns true on failure, after the report.
bool ParseUnit(sParse* pParse, json_t* pUnit, sSimConfig* pConfig);
}
}

#endif
