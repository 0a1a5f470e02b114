// JsonParsePromCommand: the "Set Prom" command listener.
//
// A PULL socket bound at ipc:///run/shm/zmq/PromCmd, read by the event loop.
// A peer pushes two frames, "Set Prom" and a JSON object whose optional
// string member "Unit Name" renames the unit. A name that would be stored
// differently from the stored one is stored (at most 15 bytes) and written
// to the chip before the handler returns; the publisher sends it at the next
// tick. Commands that arrive while the record is not valid, other topics,
// bodies that are not JSON, and messages without a body are consumed and
// change nothing. A message over the listener limit (64 KiB, all frames
// together) is dropped unread and unreported. The handler never ends the
// loop.
#ifndef EEPROM_MANAGER_JSONPARSEPROMCOMMAND_H
#define EEPROM_MANAGER_JSONPARSEPROMCOMMAND_H

#include <czmq.h>

// Creates the listener on the loop; a socket that cannot be created is fatal.
void JsonParseCommandCreateSocket(zloop_t* pPromLoop);
// The reader: handles one command. Always returns 0.
int JsonParseCommandMessage(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg);
// Destroys the socket.
void JsonParseCleanup();

#endif
