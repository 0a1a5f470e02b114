// Tests of JsonParseUtils with real jansson parsing: what parses, the exact
// report lines on standard output, the "ServiceStop" addressee test and the
// getters' defaults for every member type.
#include "JsonParseUtils.h"

#include "CaptureStdout.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace
{
// Splits captured output into lines, checks that each carries the report tag
// of this module's source file, and returns what follows the tag.
std::vector<std::string> ReportBodies(const std::string& Output)
{
    static const std::regex TaggedLine("JsonParseUtils\\.cpp:[0-9]+ JUTL_ERROR: (.*)");
    std::vector<std::string> Bodies;
    size_t Start = 0;
    while (Start < Output.size())
    {
        size_t End = Output.find('\n', Start);
        EXPECT_NE(std::string::npos, End) << "report line without line end";
        if (std::string::npos == End)
        {
            End = Output.size();
        }
        std::string Line = Output.substr(Start, End - Start);
        std::smatch Match;
        if (std::regex_match(Line, Match, TaggedLine))
        {
            Bodies.push_back(Match[1]);
        }
        else
        {
            ADD_FAILURE() << "untagged line: '" << Line << "'";
        }
        Start = End + 1;
    }
    return Bodies;
}

// Parses Text, failing the test when it does not parse.
json_t* Parse(const char* Text)
{
    json_t* pjt = JsonConvertStringToObject(Text);
    EXPECT_NE(nullptr, pjt) << Text;
    return pjt;
}

const std::string NotArrayLine = "JSON Root in JsonParseStop() is not an array.";
}

TEST(JsonConvertStringToObjectTest, AcceptsArrayOrObjectAndIgnoresTrailingText)
{
    cCaptureStdout Capture;
    json_t* pjtArray = JsonConvertStringToObject("[1, \"two\"] trailing ] { garbage");
    json_t* pjtObject = JsonConvertStringToObject("{\"k\": [true]}\n{\"second\": 1}");
    // Escaped NUL characters stay inside the string.
    json_t* pjtNul = JsonConvertStringToObject("[\"a\\u0000b\"]");
    EXPECT_EQ("", Capture.Finish());

    ASSERT_TRUE(json_is_array(pjtArray));
    ASSERT_EQ(2u, json_array_size(pjtArray));
    EXPECT_EQ(1, json_integer_value(json_array_get(pjtArray, 0)));
    EXPECT_STREQ("two", json_string_value(json_array_get(pjtArray, 1)));
    ASSERT_TRUE(json_is_object(pjtObject));
    EXPECT_EQ(1u, json_object_size(pjtObject));
    ASSERT_TRUE(json_is_array(pjtNul));
    EXPECT_EQ(3u, json_string_length(json_array_get(pjtNul, 0)));
    json_decref(pjtArray);
    json_decref(pjtObject);
    json_decref(pjtNul);
}

TEST(JsonConvertStringToObjectTest, ReportsFailureInThreeTaggedLines)
{
    struct
    {
        const char* pText;
        std::vector<std::string> Report;
    } const Cases[] = {
        {"42", {"(string) '[' or '{' expected near '42' ", "(source) <string> ", "(byte  ) 2 "}},
        {"\"abc\"", {"(string) '[' or '{' expected near '\"abc\"' ", "(source) <string> ", "(byte  ) 5 "}},
        {"[1, 2", {"(string) ']' expected near end of file ", "(source) <string> ", "(byte  ) 5 "}},
        {nullptr, {"(string) wrong arguments ", "(source) <string> ", "(byte  ) 0 "}},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.pText ? Case.pText : "(null)");
        cCaptureStdout Capture;
        json_t* pjt = JsonConvertStringToObject(Case.pText);
        std::string Output = Capture.Finish();
        EXPECT_EQ(nullptr, pjt);
        EXPECT_EQ(Case.Report, ReportBodies(Output));
        json_decref(pjt);
    }
}

TEST(JsonParseStopTest, AddressedWhenAnElementObjectHasTheMember)
{
    struct
    {
        const char* pPayload;
        bool Expected;
    } const Cases[] = {
        {"[{\"HwMgrFPGA\": null}]", true},
        {"[{\"A\": 1}, {\"B\": {}}, {\"C\": [1]}, {\"D\": \"x\", \"HwMgrFPGA\": false}]", true},
        {"[\"HwMgrFPGA\", 7, {\"HwMgrFPGA\": \"\\u0000\"}, {\"HwMgrFPGA\": 1}]", true},
        {"[{\"HwMgrFPGA\": 1}] followed by anything", true},
        {"[\"HwMgrFPGA\", \"Other\"]", false},
        {"[]", false},
        {"[{\"hwmgrfpga\": 1}, {\"HWMGRFPGA\": 1}]", false},
        {"[{\"HwMgrFPGA2\": 1}, {\"HwMgrFPG\": 1}]", false},
        // Only members of the elements themselves count, not nested ones.
        {"[{\"Outer\": {\"HwMgrFPGA\": 1}}, [{\"HwMgrFPGA\": 1}]]", false},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.pPayload);
        cCaptureStdout Capture;
        EXPECT_EQ(Case.Expected, JsonParseStop(Case.pPayload));
        EXPECT_EQ("", Capture.Finish());
    }
}

TEST(JsonParseStopTest, MalformedPayloadIsReportedAndNotAddressed)
{
    {
        cCaptureStdout Capture;
        EXPECT_FALSE(JsonParseStop("{\"HwMgrFPGA\": 1}"));
        EXPECT_EQ(std::vector<std::string>{NotArrayLine}, ReportBodies(Capture.Finish()));
    }
    for (const char* pPayload : {"HwMgrFPGA", static_cast<const char*>(nullptr)})
    {
        SCOPED_TRACE(pPayload ? pPayload : "(null)");
        cCaptureStdout Capture;
        EXPECT_FALSE(JsonParseStop(pPayload));
        std::vector<std::string> Bodies = ReportBodies(Capture.Finish());
        // The parser's three lines first, then the not-an-array line.
        ASSERT_EQ(4u, Bodies.size());
        EXPECT_EQ(0u, Bodies[0].rfind("(string) ", 0));
        EXPECT_EQ("(source) <string> ", Bodies[1]);
        EXPECT_EQ(0u, Bodies[2].rfind("(byte  ) ", 0));
        EXPECT_EQ(NotArrayLine, Bodies[3]);
    }
}

// Every getter against a member of every JSON type.
TEST(JsonGettersTest, FollowTheTypeTable)
{
    json_t* pjt = Parse("{\"str\": \"text\", \"int\": -9000000000, \"real\": 3.5, \"true\": true,"
                        " \"false\": false, \"null\": null, \"arr\": [1], \"obj\": {\"int\": 5}}");
    ASSERT_NE(nullptr, pjt);
    const char* const Keys[] = {"str", "int", "real", "true", "false", "null", "arr", "obj", "missing"};
    cCaptureStdout Capture;
    for (const char* pKey : Keys)
    {
        SCOPED_TRACE(pKey);
        const std::string Key = pKey;
        const bool Present = ("missing" != Key);
        json_t* pjtMember = JsonGetObject(pKey, pjt);
        EXPECT_EQ(Present, nullptr != pjtMember);
        EXPECT_EQ(json_object_get(pjt, pKey), pjtMember);

        const char* psValue = JsonGetString(pKey, pjt);
        if ("str" == Key)
        {
            EXPECT_STREQ("text", psValue);
        }
        else
        {
            EXPECT_EQ(nullptr, psValue);
        }

        const json_int_t ExpectedInt = ("int" == Key) ? -9000000000LL : 0;
        EXPECT_EQ(ExpectedInt, JsonGetInt(pKey, pjt));
        json_int_t IntValue = 77;
        EXPECT_EQ(!Present, JsonGetIntAndError(pKey, pjt, &IntValue));
        EXPECT_EQ(ExpectedInt, IntValue);

        const bool ExpectedBool = ("true" == Key);
        EXPECT_EQ(ExpectedBool, JsonGetBoolean(pKey, pjt));
        bool BoolValue = !ExpectedBool;
        EXPECT_EQ(!Present, JsonGetBooleanAndError(pKey, pjt, &BoolValue));
        EXPECT_EQ(ExpectedBool, BoolValue);

        EXPECT_EQ(("arr" == Key) ? pjtMember : nullptr, JsonGetArray(pKey, pjt));
    }
    EXPECT_EQ("", Capture.Finish());
    json_decref(pjt);
}

TEST(JsonGettersTest, NullOrNonObjectArgumentsGiveDefaults)
{
    json_t* pjtArray = Parse("[{\"int\": 5}]");
    json_t* pjtObject = Parse("{\"int\": 5, \"true\": true, \"arr\": []}");
    for (const json_t* pjtFrom : {static_cast<const json_t*>(nullptr), static_cast<const json_t*>(pjtArray)})
    {
        EXPECT_EQ(nullptr, JsonGetObject("int", pjtFrom));
        json_int_t IntValue = 1;
        EXPECT_TRUE(JsonGetIntAndError("int", pjtFrom, &IntValue));
        EXPECT_EQ(0, IntValue);
    }
    EXPECT_EQ(nullptr, JsonGetObject(nullptr, pjtObject));
    EXPECT_EQ(0, JsonGetInt(nullptr, pjtObject));
    EXPECT_FALSE(JsonGetBoolean(nullptr, pjtObject));
    EXPECT_EQ(nullptr, JsonGetArray(nullptr, pjtObject));
    bool BoolValue = true;
    EXPECT_TRUE(JsonGetBooleanAndError(nullptr, pjtObject, &BoolValue));
    EXPECT_FALSE(BoolValue);
    json_decref(pjtArray);
    json_decref(pjtObject);
}

TEST(JsonGettersDeathTest, NullOutPointerIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    json_t* pjt = Parse("{\"int\": 5, \"true\": true}");
    EXPECT_DEATH(JsonGetIntAndError("int", pjt, nullptr), "pRetInt");
    EXPECT_DEATH(JsonGetBooleanAndError("true", pjt, nullptr), "pJsonBool");
    json_decref(pjt);
}

TEST(JsonGetEnableTest, AcceptsExactlyEnableOrDisable)
{
    json_t* pjt = Parse("{\"on\": \"Enable\", \"off\": \"Disable\", \"lower\": \"enable\", \"upper\": \"DISABLE\","
                        " \"one\": 1, \"bool\": true}");
    ASSERT_NE(nullptr, pjt);
    struct
    {
        const char* pKey;
        bool ExpectedError;
        bool ExpectedEnable;
        const char* pReport;  // report body, or null for no output
    } const Cases[] = {
        {"on", false, true, nullptr},
        {"off", false, false, nullptr},
        {"lower", true, false, "Expected enable or disable, but got: enable"},
        {"upper", true, false, "Expected enable or disable, but got: DISABLE"},
        {"one", true, false, nullptr},
        {"bool", true, false, nullptr},
        {"missing", true, false, nullptr},
    };
    for (const auto& Case : Cases)
    {
        SCOPED_TRACE(Case.pKey);
        bool Enable = !Case.ExpectedEnable;
        cCaptureStdout Capture;
        EXPECT_EQ(Case.ExpectedError, JsonGetEnable(Case.pKey, pjt, &Enable));
        std::string Output = Capture.Finish();
        EXPECT_EQ(Case.ExpectedEnable, Enable);
        if (nullptr == Case.pReport)
        {
            EXPECT_EQ("", Output);
        }
        else
        {
            EXPECT_EQ(std::vector<std::string>{Case.pReport}, ReportBodies(Output));
        }
    }
    cCaptureStdout Capture;
    EXPECT_TRUE(JsonGetEnable("on", pjt, nullptr));
    EXPECT_EQ("", Capture.Finish());
    json_decref(pjt);
}
