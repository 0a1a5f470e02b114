// JsonParseUtils: jansson parsing with reports, typed member getters with
// fixed defaults, and the "ServiceStop" addressee test.
#include "JsonParseUtils.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace
{
// No JSON_DECODE_ANY: the top-level value must be an array or an object, and
// parsing stops right after it.
const size_t JsonLoadFlags = JSON_DISABLE_EOF_CHECK | JSON_ALLOW_NUL;
const char* const EnableText = "Enable";
const char* const DisableText = "Disable";

// __FILE__ may carry the build's absolute path; reports name the file only.
const char* SourceBaseName(const char* pPath)
{
    const char* pSlash = strrchr(pPath, '/');
    return (nullptr == pSlash) ? pPath : pSlash + 1;
}

// Prints the report tag, without a line end, for a report made at Line.
void PrintReportTag(unsigned Line)
{
    printf("%s:%u JUTL_ERROR: ", SourceBaseName(__FILE__), Line);
}
}

// Each report line starts with the tag naming this file and the report's line.
#define JUTL_TAG() PrintReportTag(__LINE__)

json_t* JsonConvertStringToObject(const char* msg)
{
    json_error_t Error;
    // json_loads itself reports a null msg ("wrong arguments").
    json_t* pjtRoot = json_loads(msg, JsonLoadFlags, &Error);
    if (nullptr == pjtRoot)
    {
        JUTL_TAG();
        printf("(string) %s \n", Error.text);
        JUTL_TAG();
        printf("(source) %s \n", Error.source);
        JUTL_TAG();
        printf("(byte  ) %d \n", Error.position);
    }
    return pjtRoot;
}

bool JsonParseStop(const char* pjsData)
{
    json_t* pjtRoot = JsonConvertStringToObject(pjsData);
    if (!json_is_array(pjtRoot))
    {
        JUTL_TAG();
        printf("JSON Root in JsonParseStop() is not an array.\n");
        // A malformed request is not addressed to anyone: the service runs on.
        json_decref(pjtRoot);
        return false;
    }

    bool IsForUs = false;
    json_t* pjtElement = nullptr;
    // The whole array is scanned; a non-object element has no members.
    for (size_t Index = 0;
         Index < json_array_size(pjtRoot) && nullptr != (pjtElement = json_array_get(pjtRoot, Index));
         Index++)
    {
        const char* pKey = nullptr;
        json_t* pjtValue = nullptr;
        json_object_foreach(pjtElement, pKey, pjtValue)
        {
            // Only the member's name matters; its value may even be null.
            if (0 == strcmp(pKey, StopAddressee))
            {
                IsForUs = true;
            }
        }
    }
    json_decref(pjtRoot);
    return IsForUs;
}

json_t* JsonGetObject(const char* pKey, const json_t* pjObject)
{
    if (nullptr == pKey || nullptr == pjObject)
    {
        return nullptr;
    }
    // Null for a missing member and for a pjObject that is not an object.
    return json_object_get(pjObject, pKey);
}

const char* JsonGetString(const char* pKey, const json_t* pjObject)
{
    return json_string_value(JsonGetObject(pKey, pjObject));
}

json_int_t JsonGetInt(const char* pKey, const json_t* pjObject)
{
    return json_integer_value(JsonGetObject(pKey, pjObject));
}

bool JsonGetIntAndError(const char* pKey, const json_t* pjObject, json_int_t* pRetInt)
{
    assert(nullptr != pRetInt);
    *pRetInt = 0;
    const json_t* pjtMember = JsonGetObject(pKey, pjObject);
    if (nullptr == pjtMember)
    {
        return true;
    }
    // A member of another type is not an error; it reads as 0.
    *pRetInt = json_integer_value(pjtMember);
    return false;
}

bool JsonGetBooleanAndError(const char* pKey, const json_t* pjObject, bool* pJsonBool)
{
    assert(nullptr != pJsonBool);
    *pJsonBool = false;
    const json_t* pjtMember = JsonGetObject(pKey, pjObject);
    if (nullptr == pjtMember)
    {
        return true;
    }
    // A member of another type is not an error; it reads as false.
    *pJsonBool = json_is_true(pjtMember);
    return false;
}

bool JsonGetBoolean(const char* pKey, const json_t* pjObject)
{
    bool Value = false;
    (void)JsonGetBooleanAndError(pKey, pjObject, &Value);
    return Value;
}

bool JsonGetEnable(const char* pKey, const json_t* pjObject, bool* pEnable)
{
    if (nullptr == pEnable)
    {
        return true;
    }
    *pEnable = false;
    const char* psValue = JsonGetString(pKey, pjObject);
    if (nullptr == psValue)
    {
        return true;
    }
    if (0 == strcmp(psValue, EnableText))
    {
        *pEnable = true;
        return false;
    }
    if (0 == strcmp(psValue, DisableText))
    {
        return false;
    }
    JUTL_TAG();
    printf("Expected enable or disable, but got: %s\n", psValue);
    return true;
}

const json_t* JsonGetArray(const char* pKey, const json_t* pjObject)
{
    const json_t* pjtMember = JsonGetObject(pKey, pjObject);
    return json_is_array(pjtMember) ? pjtMember : nullptr;
}
