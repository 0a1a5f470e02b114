// JsonParseUtils: turns message text into jansson values and reads typed
// members out of JSON objects, so that message handlers need no type checks
// of their own.
//
// Parsing accepts an array or an object as the top-level value, ignores
// whatever follows it and accepts escaped NUL characters inside strings.
// A parse failure is reported on standard output in three lines, each led by
// "<source file>:<line> JUTL_ERROR: ".
//
// The getters return borrowed values with fixed defaults: a returned member
// or string stays valid only while the object it came from is alive and
// unchanged. Nothing is copied. The getters other than JsonGetEnable never
// print. Error flags are true on failure.
//
// JsonParseStop decides whether a "ServiceStop" payload is addressed to this
// service: the payload is a JSON array, and it is addressed to us when one of
// its element objects has a member named exactly StopAddressee (any value,
// null included).
#ifndef DEVICE_WIDGETS_JSONPARSEUTILS_H
#define DEVICE_WIDGETS_JSONPARSEUTILS_H

#include <jansson.h>

// The member of a "ServiceStop" payload's element that addresses the
// request to this service.
const char* const StopAddressee = "HwMgrFPGA";

// Parses msg. Returns a new reference that the caller releases with
// json_decref, or null when msg is null or is not an array or object; the
// failure is then printed as three report lines (error text, source, byte
// position). Characters after the top-level value are ignored.
json_t* JsonConvertStringToObject(const char* msg);

// Returns true when the "ServiceStop" payload pjsData names this service
// (an element object with a member "HwMgrFPGA"). A payload that does not
// parse or whose top-level value is not an array, a null pointer included,
// is reported ("JSON Root in JsonParseStop() is not an array.") and gives
// false: a malformed request never stops the service.
bool JsonParseStop(const char* pjsData);

// Returns the member pKey of pjObject, of any type, or null when it is
// missing, when pjObject is not an object, or when either argument is null.
json_t* JsonGetObject(const char* pKey, const json_t* pjObject);

// Returns the string held by member pKey, or null when the member is missing
// or is not a string.
const char* JsonGetString(const char* pKey, const json_t* pjObject);

// Returns the integer held by member pKey, or 0 when the member is missing
// or is not an integer (a real such as 3.5 gives 0 too).
json_int_t JsonGetInt(const char* pKey, const json_t* pjObject);

// Stores the integer held by member pKey in *pRetInt, 0 when the member is
// not an integer. Returns true only when the member is missing; a member of
// another type is not an error. pRetInt must not be null (assertion); it is
// written before anything else.
bool JsonGetIntAndError(const char* pKey, const json_t* pjObject, json_int_t* pRetInt);

// Stores true in *pJsonBool when member pKey is JSON true, else false.
// Returns true only when the member is missing; a member of another type is
// not an error. pJsonBool must not be null (assertion); it is written before
// anything else.
bool JsonGetBooleanAndError(const char* pKey, const json_t* pjObject, bool* pJsonBool);

// Returns true when member pKey is JSON true; false in every other case.
bool JsonGetBoolean(const char* pKey, const json_t* pjObject);

// Reads member pKey as the string "Enable" or "Disable" (exact case) into
// *pEnable. Returns false on success. Returns true when pEnable is null
// (nothing is written), when the member is missing or not a string (no
// report), or when it holds another string (reported). *pEnable is false
// on every failure.
bool JsonGetEnable(const char* pKey, const json_t* pjObject, bool* pEnable);

// Returns member pKey when it is an array, else null.
const json_t* JsonGetArray(const char* pKey, const json_t* pjObject);

#endif
