// PromContract: what the EEPROM manager shares with its peers and its tools,
// in one place: the endpoints and topics of its ZeroMQ channels, the name its
// heartbeat carries, where its chip sits, the tag of its report lines and
// its version. Peers and tools rely on every text here byte for byte.
#ifndef EEPROM_COMMON_PROMCONTRACT_H
#define EEPROM_COMMON_PROMCONTRACT_H

#include <cstdint>

#include "I2cBus.h"

// The unit's endpoint directory and the service's channels in it: each
// socket's name in the directory, and its endpoint.
const char* const PromZmqDir = "/run/shm/zmq";
const char* const PromStatName = "PromStat";
const char* const PromCmdName = "PromCmd";
const char* const SysCntlName = "SysCntl";
const char* const HbBeatsName = "HbBeats";
const char* const PromStatEndpoint = "ipc:///run/shm/zmq/PromStat";   // identity, bound PUB
const char* const PromCmdEndpoint = "ipc:///run/shm/zmq/PromCmd";     // commands, bound PULL
const char* const SysCntlEndpoint = "ipc:///run/shm/zmq/SysCntl";     // stop requests, connected SUB

// Topics: the first frame of each message.
const char* const PromInfoTopic = "PromInfo";
const char* const SetPromTopic = "Set Prom";
const char* const ServiceStopTopic = "ServiceStop";
const char* const HbTopic = "HbMon";

// The process name the heartbeat carries.
const char* const HbProcessName = "Eeprom Manager";
// The member that addresses a "ServiceStop" payload's object to this service.
const char* const StopAddressee = "HwMgrFPGA";

// The identity chip: a 24xx32 at 0x50 on I2C bus 1.
const uint8_t PromI2cAddress = 0x50;
const eBusNames PromI2cBus = I2C_BUS_1;

// The tag before every report line of the service core and the record.
const char* const PromErrorTag = "EEPROM ERR: ";

// The service's version as its banner shows it, "vMAJOR.MINOR-PATCH", made
// from the project's version by the build.
const char* const PromVersionText = EEPROM_VERSION_TEXT;

#endif
