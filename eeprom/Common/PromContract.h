// PromContract: what the EEPROM manager shares with its peers and its tools,
// in one place: the endpoints and topics of its ZeroMQ channels, the name its
// heartbeat carries, where its chip sits, the tag of its report lines and
// its version. Peers and tools rely on every text here byte for byte.
#ifndef EEPROM_COMMON_PROMCONTRACT_H
#define EEPROM_COMMON_PROMCONTRACT_H

#include <cstdint>

#include "I2cBus.h"

// The unit's endpoint directory and the service's channels in it: each
// socket's name in the directory, and its endpoint. (Macros where a text is
// made of others at compile time.)
#define PROM_ZMQ_DIR "/run/shm/zmq"
#define PROM_ENDPOINT(Name) "ipc://" PROM_ZMQ_DIR "/" Name
#define PROM_STAT_NAME "PromStat"
#define PROM_CMD_NAME "PromCmd"
#define SYS_CNTL_NAME "SysCntl"
const char* const PromZmqDir = PROM_ZMQ_DIR;
const char* const PromStatName = PROM_STAT_NAME;
const char* const PromCmdName = PROM_CMD_NAME;
const char* const SysCntlName = SYS_CNTL_NAME;
const char* const HbBeatsName = "HbBeats";
const char* const PromStatEndpoint = PROM_ENDPOINT(PROM_STAT_NAME);   // identity, bound PUB
const char* const PromCmdEndpoint = PROM_ENDPOINT(PROM_CMD_NAME);     // commands, bound PULL
const char* const SysCntlEndpoint = PROM_ENDPOINT(SYS_CNTL_NAME);     // stop requests, connected SUB

// Topics: the first frame of each message.
const char* const PromInfoTopic = "PromInfo";
const char* const SetPromTopic = "Set Prom";
const char* const ServiceStopTopic = "ServiceStop";
const char* const HbTopic = "HbMon";

// The identity object's keys, in this order, and what a record that is not
// valid is published as. The command body's member that renames the unit is
// the same "Unit Name".
const char* const SerialNumberKey = "Serial Number";
const char* const UnitNameKey = "Unit Name";
const char* const InvalidSerialNumber = "INVLD";
const char* const InvalidUnitName = "EEPROM Invalid";

// The process name the heartbeat carries.
const char* const HbProcessName = "Eeprom Manager";
// The member that addresses a "ServiceStop" payload's object to this service.
const char* const StopAddressee = "HwMgrFPGA";

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
