// JsonPublishEeprom: publishes the unit's identity once a second.
//
// Keeps a JSON object {"Serial Number": ..., "Unit Name": ...} built from the
// EEPROM record, and its serialised text, and sends the text on topic
// "PromInfo" from a PUB socket bound at ipc:///run/shm/zmq/PromStat. The text
// is rebuilt only after the record was written; in between the same text goes
// out every second. A record that is not valid is published as "INVLD" /
// "EEPROM Invalid". A build that fails (a name that is not valid UTF-8) is
// reported and leaves no text: nothing is sent until a later build succeeds.
#ifndef EEPROM_MANAGER_JSONPUBLISHEEPROM_H
#define EEPROM_MANAGER_JSONPUBLISHEEPROM_H

// Rebuilds the identity object and its text from the record.
void JsonPromPublishCreateObject();
// Creates the publish socket, which refuses subscriptions over 4 KiB, and
// binds it; a failed bind is reported and tolerated, a socket that
// cannot be created is fatal.
void JsonPromPublishCreateSocket();
// The tick's part: rebuilds when the record changed, then sends the text.
void JsonPromPublish();
// Destroys the socket and releases the text and the object.
void JsonPromPublishCleanup();

#endif
