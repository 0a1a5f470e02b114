// JsonParseSystemMessage: the system-control listener.
//
// A SUB socket connected to ipc:///run/shm/zmq/SysCntl and subscribed to
// "ServiceStop". A message whose topic is "ServiceStop" (sent with or
// without its terminating NUL) and whose payload is addressed to this
// service ends the event loop; every other message is consumed and ignored,
// and so is one over the listener limit (64 KiB, all frames together).
// Connecting works before the publisher binds; messages flow once it does.
#ifndef EEPROM_MANAGER_JSONPARSESYSTEMMESSAGE_H
#define EEPROM_MANAGER_JSONPARSESYSTEMMESSAGE_H

#include <czmq.h>

// Creates the listener on the loop; failures are fatal.
void JsonParseSystemMessageCreate(zloop_t* pLoop);
// The reader: returns -1 to end the loop on a stop request for this service,
// 0 otherwise.
int JsonParseSystemMessage(zloop_t* pLocalLoop, zsock_t* pLocalSubSocket, void* arg);
// Destroys the socket.
void JsonParseSystemMessageCleanup();

#endif
