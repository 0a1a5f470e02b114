// cLedger on both of its databases: an SQLite file, and a database of its
// own on the throw-away PostgreSQL cluster the tests start
// (EEPROM_TEST_POSTGRES: its connection string). Two stations at once are
// promtool's to show (tests/e2e/test_promtool_ledger.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <libpq-fe.h>

#include "PromLedger.h"

namespace
{
LedgerUnit_s Unit(const char* pSerial, const char* pMac, const char* pSha = "aa")
{
    LedgerUnit_s Made;
    Made.Serial = pSerial;
    Made.Mac = pMac;
    Made.Name = "Unit \xc3\xbc";
    Made.ImageSha256 = pSha;
    return Made;
}

// Runs one statement on the cluster's own database; returns its error, empty
// when it succeeded.
std::string OnCluster(const std::string& Sql)
{
    const char* pConninfo = getenv("EEPROM_TEST_POSTGRES");
    if (pConninfo == nullptr)
    {
        return "EEPROM_TEST_POSTGRES is not set (ctest sets it, and starts the cluster)";
    }
    PGconn* pConn = PQconnectdb(pConninfo);
    PGresult* pResult = PQexec(pConn, Sql.c_str());
    std::string Error = PQresultStatus(pResult) == PGRES_COMMAND_OK ? "" : PQerrorMessage(pConn);
    PQclear(pResult);
    PQfinish(pConn);
    return Error;
}

class LedgerTest : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) == "sqlite")
        {
            char Template[] = "/tmp/ledger-test-XXXXXX";
            Dir = mkdtemp(Template);
            Location = Dir + "/ledger.db";
            return;
        }
        Database = "ledger_test_" + std::to_string(getpid()) + "_"
                   + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : Database)
        {
            c = isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_';
        }
        ASSERT_EQ(OnCluster("CREATE DATABASE " + Database), "");
        Location = std::string(getenv("EEPROM_TEST_POSTGRES")) + " dbname=" + Database;
    }

    void TearDown() override
    {
        pLedger.reset();
        if (!Dir.empty())
        {
            EXPECT_EQ(system(("rm -rf " + Dir).c_str()), 0);
        }
        if (!Database.empty())
        {
            EXPECT_EQ(OnCluster("DROP DATABASE " + Database), "");
        }
    }

    // Opens the ledger (made where missing); false when that failed.
    bool Open(bool Create = true)
    {
        pLedger = cLedger::Open(Location, Create, &Error);
        return pLedger != nullptr;
    }

    // Issues Units in one transaction. Returns true on failure, after which
    // nothing of it is recorded.
    bool Issue(const std::vector<LedgerUnit_s>& Units)
    {
        if (pLedger->BeginIssue() || pLedger->Record(Units) || pLedger->Commit())
        {
            pLedger->Rollback();
            return true;
        }
        return false;
    }

    std::vector<std::string> Serials()
    {
        std::vector<LedgerUnit_s> Units;
        EXPECT_FALSE(pLedger->List(&Units)) << pLedger->Error();
        std::vector<std::string> Listed;
        for (const LedgerUnit_s& Listed1 : Units)
        {
            Listed.push_back(Listed1.Serial);
        }
        return Listed;
    }

    std::string Dir;
    std::string Database;
    std::string Location;
    std::string Error;
    std::unique_ptr<cLedger> pLedger;
};

TEST_P(LedgerTest, ExistsOnlyOnceMadeAndKeepsWhatItHolds)
{
    EXPECT_FALSE(Open(false));
    EXPECT_NE(Error.find("promtool ledger init"), std::string::npos) << Error;
    ASSERT_TRUE(Open()) << Error;
    ASSERT_FALSE(Issue({Unit("000002", "02:00:00:00:00:02")})) << pLedger->Error();
    ASSERT_TRUE(Open()) << Error;      // made again: kept
    ASSERT_TRUE(Open(false)) << Error;
    EXPECT_EQ(Serials(), std::vector<std::string>{"000002"});
}

TEST_P(LedgerTest, RecordsAUnitOnceWithWhoIssuedItAndWhen)
{
    ASSERT_TRUE(Open()) << Error;
    ASSERT_FALSE(Issue({Unit("123457", "02:00:00:00:01:00"), Unit("123456", "02:00:00:00:00:ff")}))
        << pLedger->Error();
    LedgerUnit_s Found;
    bool Have = false;
    ASSERT_FALSE(pLedger->Find("02:00:00:00:00:ff", &Found, &Have)) << pLedger->Error();
    ASSERT_TRUE(Have);
    EXPECT_EQ(Found.Serial + Found.Name + Found.ImageSha256, "123456Unit \xc3\xbc" "aa");
    EXPECT_EQ(Found.Station, StationName());
    EXPECT_EQ(Found.IssuedAt.size(), LedgerTimeNow().size());
    EXPECT_TRUE(Found.WrittenAt.empty());
    ASSERT_FALSE(pLedger->Find("123457", &Found, &Have));
    EXPECT_TRUE(Have && Found.Mac == "02:00:00:00:01:00");
    ASSERT_FALSE(pLedger->Find("654321", &Found, &Have));
    EXPECT_FALSE(Have);
    EXPECT_EQ(Serials(), (std::vector<std::string>{"123456", "123457"}));
}

TEST_P(LedgerTest, ABatchWithADuplicateSerialOrMacRecordsNothing)
{
    ASSERT_TRUE(Open()) << Error;
    ASSERT_FALSE(Issue({Unit("100000", "02:00:00:00:00:01")}));
    // The duplicate last: what came before it in the batch goes too.
    EXPECT_TRUE(Issue({Unit("100001", "02:00:00:00:00:02"), Unit("100000", "02:00:00:00:00:03")}));
    EXPECT_TRUE(Issue({Unit("100002", "02:00:00:00:00:04"), Unit("100003", "02:00:00:00:00:01")}));
    EXPECT_TRUE(Issue({Unit("100004", "02:00:00:00:00:05"), Unit("100004", "02:00:00:00:00:06")}));
    EXPECT_EQ(Serials(), std::vector<std::string>{"100000"});
    std::vector<LedgerUnit_s> Holders;
    ASSERT_FALSE(pLedger->Holders({"100001", "100000"}, {"02:00:00:00:00:09"}, &Holders));
    ASSERT_EQ(Holders.size(), 1u);
    EXPECT_EQ(Holders[0].Mac, "02:00:00:00:00:01");
}

TEST_P(LedgerTest, RangesGiveTheLowestSerialsAndMacsNoUnitHolds)
{
    ASSERT_TRUE(Open()) << Error;
    // Taken: inside and at the ends of the ranges, and beside them. MAC
    // addresses across a byte: text and numbers must order alike.
    ASSERT_FALSE(Issue({Unit("099999", "02:00:00:00:00:fe"), Unit("100000", "02:00:00:00:01:00"),
                        Unit("100002", "02:00:00:00:01:02"), Unit("100005", "02:00:00:00:0a:00")}));
    std::vector<uint32_t> FreeSerials;
    ASSERT_FALSE(pLedger->FreeSerials(100000, 100005, 10, &FreeSerials)) << pLedger->Error();
    EXPECT_EQ(FreeSerials, (std::vector<uint32_t>{100001, 100003, 100004}));
    ASSERT_FALSE(pLedger->FreeSerials(99998, 999999, 2, &FreeSerials));
    EXPECT_EQ(FreeSerials, (std::vector<uint32_t>{99998, 100001}));
    std::vector<uint64_t> FreeMacs;
    ASSERT_FALSE(pLedger->FreeMacs(0x0200000000ff, 0x020000000103, 10, &FreeMacs)) << pLedger->Error();
    EXPECT_EQ(FreeMacs, (std::vector<uint64_t>{0x0200000000ff, 0x020000000101, 0x020000000103}));
    EXPECT_EQ(MacOfNumber(FreeMacs[1]), "02:00:00:00:01:01");
}

TEST_P(LedgerTest, MarksWrittenOnlyUnitsThatHoldTheirIssuedImage)
{
    ASSERT_TRUE(Open()) << Error;
    ASSERT_FALSE(Issue({Unit("100000", "02:00:00:00:00:01", "11"), Unit("100001", "02:00:00:00:00:02", "22")}));
    const ChipWritten_s Good = {"100000", "02:00:00:00:00:01", "11"};
    for (const ChipWritten_s& Bad : {ChipWritten_s{"100001", "02:00:00:00:00:02", "11"},
                                     ChipWritten_s{"100001", "02:00:00:00:00:01", "22"},
                                     ChipWritten_s{"100002", "02:00:00:00:00:03", "22"}})
    {
        EXPECT_TRUE(pLedger->MarkWritten({Good, Bad})) << Bad.Serial;
        EXPECT_NE(pLedger->Error().find(Bad.Serial), std::string::npos) << pLedger->Error();
    }
    LedgerUnit_s Found;
    bool Have = false;
    ASSERT_FALSE(pLedger->Find("100000", &Found, &Have));
    EXPECT_TRUE(Found.WrittenAt.empty()) << "marked with a bad one beside it";
    ASSERT_FALSE(pLedger->MarkWritten({Good})) << pLedger->Error();
    ASSERT_FALSE(pLedger->Find("100000", &Found, &Have));
    EXPECT_EQ(Found.WrittenAt.size(), LedgerTimeNow().size());
    EXPECT_EQ(Found.WrittenStation, StationName());
}

INSTANTIATE_TEST_SUITE_P(Databases, LedgerTest, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& Info) { return std::string(Info.param); });
}
