// PromContract: what the EEPROM manager shares with its peers and its tools,
// in one place: the endpoints and topics of its ZeroMQ channels, the name its
// heartbeat carries, where its chip sits, the tag of its report lines and
// its version. Peers and tools rely on every text here byte for byte.
//
// The channels of the unit that the service only joins are the shared
// library's, which every service of the unit uses, and are named there:
// the endpoint directory (ZMQ_UNIT_DIR, ZmqUnitDir) and the system-control
// channel (SysCntlName, SysCntlEndpoint, ServiceStopTopic) in ZmqUtils.h,
// the stop request's addressee (StopAddressee) in JsonParseUtils.h, and the
// heartbeat (HbBeatsName, HbEndpoint, HbTopic) in HeartBeater.h.
#ifndef EEPROM_COMMON_PROMCONTRACT_H
#define EEPROM_COMMON_PROMCONTRACT_H

#include <cstdint>

#include "HeartBeater.h"
#include "I2cBus.h"
#include "JsonParseUtils.h"
#include "ZmqUtils.h"

// The service's own channels in the unit's endpoint directory: each socket's
// name in the directory, and its endpoint.
#define PROM_STAT_NAME "PromStat"
#define PROM_CMD_NAME "PromCmd"
const char* const PromZmqDir = ZmqUnitDir;
const char* const PromStatName = PROM_STAT_NAME;
const char* const PromCmdName = PROM_CMD_NAME;
const char* const PromStatEndpoint = ZMQ_UNIT_ENDPOINT(PROM_STAT_NAME);     // identity, bound PUB
const char* const PromCmdEndpoint = ZMQ_UNIT_ENDPOINT(PROM_CMD_NAME);       // commands, bound PULL

// Topics: the first frame of each message.
const char* const PromInfoTopic = "PromInfo";
const char* const SetPromTopic = "Set Prom";

// The identity object's keys, in this order, and what a record that is not
// valid is published as. The command body's member that renames the unit is
// the same "Unit Name".
const char* const SerialNumberKey = "Serial Number";
const char* const UnitNameKey = "Unit Name";
const char* const InvalidSerialNumber = "INVLD";
const char* const InvalidUnitName = "EEPROM Invalid";

// The process name the heartbeat carries.
const char* const HbProcessName = "Eeprom Manager";

// The identity chip: a 24xx32 at 0x50 on I2C bus 1.
const uint8_t PromI2cAddress = 0x50;
const eBusNames PromI2cBus = I2C_BUS_1;
// Its bus device (I2cBusPathFormat of PromI2cBus), which every writer of the
// chip opens and locks (ChipLock).
const char* const PromBusPath = "/dev/i2c-1";

// The tag before every report line of the service core and the record.
const char* const PromErrorTag = "EEPROM ERR: ";

// The service's version as its banner shows it, "vMAJOR.MINOR-PATCH", made
// from the project's version by the build.
const char* const PromVersionText = EEPROM_VERSION_TEXT;

#endif
