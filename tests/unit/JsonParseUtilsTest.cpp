// JsonParseUtils on real jansson parsing: what parses, the exact tagged
// report lines, the "ServiceStop" addressee test and the getters' defaults.
#include <gtest/gtest.h>

#include <regex>

#include "CaptureStdout.h"
#include "JsonParseUtils.h"

// Output with each report tag (this module's file name without directory,
// and a line number) replaced by '@'.
static std::string Tagged(const std::string& Output)
{
    return std::regex_replace(Output, std::regex("JsonParseUtils\\.cpp:[0-9]+ JUTL_ERROR: "), "@");
}

// One array or object is parsed and what follows it ignored; anything else
// is reported in three lines, and JsonParseStop adds its own. A stop request
// is addressed to us when one element object has the member "HwMgrFPGA".
TEST(JsonParseUtilsTest, ParsingStopRequestsAndTheirReports)
{
    enum { Parses, Stop, NoStop };   // JsonConvertStringToObject, or what JsonParseStop answers
    const std::string NotArray = "@JSON Root in JsonParseStop() is not an array.\n";
    const std::string WrongArguments = "@(string) wrong arguments \n@(source) <string> \n@(byte  ) 0 \n";
    const struct { const char* pText; int Call; std::string Report; } Cases[] = {
        {"[1, \"two\"] trailing ] { garbage", Parses, ""},
        {"{\"k\": [true]}\n{\"second\": 1}", Parses, ""},
        {"[\"a\\u0000b\"]", Parses, ""},
        {"42", Parses, "@(string) '[' or '{' expected near '42' \n@(source) <string> \n@(byte  ) 2 \n"},
        {"\"abc\"", Parses, "@(string) '[' or '{' expected near '\"abc\"' \n@(source) <string> \n@(byte  ) 5 \n"},
        {"[1, 2", Parses, "@(string) ']' expected near end of file \n@(source) <string> \n@(byte  ) 5 \n"},
        {nullptr, Parses, WrongArguments},
        {nullptr, NoStop, WrongArguments + NotArray},
        {"HwMgrFPGA", NoStop, "@(string) '[' or '{' expected near 'HwMgrFPGA' \n@(source) <string> \n@(byte  ) 9 \n" + NotArray},
        {"{\"HwMgrFPGA\": 1}", NoStop, NotArray},
        {"[{\"HwMgrFPGA\": null}]", Stop, ""},
        {"[{\"A\": 1}, {\"B\": {}}, {\"C\": [1]}, {\"D\": \"x\", \"HwMgrFPGA\": false}]", Stop, ""},
        {"[\"HwMgrFPGA\", 7, {\"HwMgrFPGA\": \"\\u0000\"}, {\"HwMgrFPGA\": 1}]", Stop, ""},
        {"[{\"HwMgrFPGA\": 1}] followed by anything", Stop, ""},
        {"[\"HwMgrFPGA\", \"Other\"]", NoStop, ""},
        {"[]", NoStop, ""},
        {"[{\"hwmgrfpga\": 1}, {\"HwMgrFPGA2\": 1}, {\"HwMgrFPG\": 1}]", NoStop, ""},
        {"[{\"Outer\": {\"HwMgrFPGA\": 1}}, [{\"HwMgrFPGA\": 1}]]", NoStop, ""},   // nested members do not count
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.pText ? Case.pText : "(null)");
        cCaptureStdout Capture;
        json_t* pjt = (Parses == Case.Call) ? JsonConvertStringToObject(Case.pText) : nullptr;
        EXPECT_EQ(Stop == Case.Call, Parses != Case.Call && JsonParseStop(Case.pText));
        EXPECT_EQ(Case.Report, Tagged(Capture.Finish()));
        EXPECT_EQ(Parses == Case.Call && Case.Report.empty(), nullptr != pjt);
        json_decref(pjt);
    }
}

// Every getter against a member of every JSON type and a missing one.
TEST(JsonParseUtilsTest, GettersFollowTheTypeTable)
{
    json_t* pjt = JsonConvertStringToObject("{\"str\": \"text\", \"int\": -9000000000, \"real\": 3.5, \"true\": true,"
                                            " \"false\": false, \"null\": null, \"arr\": [1], \"obj\": {\"int\": 5}}");
    cCaptureStdout Capture;
    for (std::string Key : {"str", "int", "real", "true", "false", "null", "arr", "obj", "missing"})
    {
        SCOPED_TRACE(Key);
        const char* pKey = Key.c_str();
        const json_int_t Int = ("int" == Key) ? -9000000000LL : 0;
        json_int_t IntValue = 77;
        bool BoolValue = ("true" != Key);
        EXPECT_EQ(json_object_get(pjt, pKey), JsonGetObject(pKey, pjt));
        EXPECT_STREQ(("str" == Key) ? "text" : nullptr, JsonGetString(pKey, pjt));
        EXPECT_EQ(Int, JsonGetInt(pKey, pjt));
        EXPECT_EQ("missing" == Key, JsonGetIntAndError(pKey, pjt, &IntValue));
        EXPECT_EQ(Int, IntValue);
        EXPECT_EQ("true" == Key, JsonGetBoolean(pKey, pjt));
        EXPECT_EQ("missing" == Key, JsonGetBooleanAndError(pKey, pjt, &BoolValue));
        EXPECT_EQ("true" == Key, BoolValue);
        EXPECT_EQ(("arr" == Key) ? json_object_get(pjt, pKey) : nullptr, JsonGetArray(pKey, pjt));
    }
    // A null key or a container that is not an object has no members.
    json_t* pjtArray = JsonConvertStringToObject("[{\"int\": 5}]");
    json_int_t IntValue = 1;
    EXPECT_TRUE(JsonGetIntAndError(nullptr, pjt, &IntValue)) << "null key";
    EXPECT_TRUE(JsonGetIntAndError("int", pjtArray, &IntValue)) << "an array";
    EXPECT_EQ(0, IntValue);
    EXPECT_EQ("", Capture.Finish());
    EXPECT_DEATH(JsonGetIntAndError("int", pjt, nullptr), "pRetInt");
    EXPECT_DEATH(JsonGetBooleanAndError("true", pjt, nullptr), "pJsonBool");
    json_decref(pjt);
    json_decref(pjtArray);
}

TEST(JsonParseUtilsTest, GetEnableAcceptsExactlyEnableOrDisable)
{
    json_t* pjt = JsonConvertStringToObject("{\"on\": \"Enable\", \"off\": \"Disable\", \"lower\": \"enable\","
                                            " \"upper\": \"DISABLE\", \"one\": 1, \"bool\": true}");
    const struct { const char* pKey; bool Error, Enable; std::string Report; } Cases[] = {
        {"on", false, true, ""}, {"off", false, false, ""}, {"one", true, false, ""}, {"bool", true, false, ""},
        {"missing", true, false, ""},
        {"lower", true, false, "@Expected enable or disable, but got: enable\n"},
        {"upper", true, false, "@Expected enable or disable, but got: DISABLE\n"},
    };
    for (const auto& Case : Cases)
    {
        bool Enable = !Case.Enable;
        cCaptureStdout Capture;
        EXPECT_EQ(Case.Error, JsonGetEnable(Case.pKey, pjt, &Enable)) << Case.pKey;
        EXPECT_EQ(Case.Report, Tagged(Capture.Finish()));
        EXPECT_EQ(Case.Enable, Enable) << Case.pKey;
    }
    EXPECT_TRUE(JsonGetEnable("on", pjt, nullptr));
    json_decref(pjt);
}
