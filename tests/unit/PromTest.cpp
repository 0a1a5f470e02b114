// cProm on a simulated identity chip loaded in-process, on a unit whose eth0
// has MAC 02:00:00:00:00:01: the flags, the name cut, the cipher, the chip's
// timing, and what the record keeps when the chip fails. A good write is
// checked on the service's bus and chip (tests/e2e/test_commands.py).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <jansson.h>
#include <map>
#include <vector>
#include <sstream>
#include <string>

#include "CaptureStdout.h"
#include "FakeClock.h"
#include "PromFixture.h"

namespace
{
std::string ReadFailed(int Errno)
{
    return std::string("I2C Error : I2C Device EEPROM read failed:\nI2C Error :  - Error:  ") + strerror(Errno) + "\n";
}

class PromTest : public cPromFixture
{
protected:
    void TearDown() override
    {
        FakeClock.Set = false;
        cPromFixture::TearDown();
    }

    // From now on the test's time passes only in pauses of PauseMs each.
    static void SetFakeClock(uint64_t PauseMs)
    {
        FakeClock.Ns = 1000000 * Ms;
        FakeClock.PauseNs = PauseMs * Ms;
        FakeClock.Set = true;
    }
};

TEST_F(PromTest, ReadsTheRecordAtStartASixteenByteNameWhole)
{
    eeprom_u Record = MakeRecord("SixteenCharsName");     // no terminator
    EXPECT_EQ("", Start(&Record));
    EXPECT_EQ("123456 SixteenCharsName", Identity());
    EXPECT_TRUE(pProm->HasValidData());
}

TEST_F(PromTest, AnyNameAsksForAWriteANullOneChangesNothingAndAReadIsNoWrite)
{
    eeprom_u Record = MakeRecord("SixteenCharsName");
    Start(&Record);
    pProm->SetUnitName(nullptr);
    EXPECT_FALSE(pProm->WriteRequired()) << "a null name changes nothing";
    pProm->SetUnitName("SixteenCharsName");
    EXPECT_TRUE(pProm->WriteRequired()) << "even an unchanged name asks for a write";
    pProm->DecryptRead();
    EXPECT_FALSE(pProm->WriteRequired());
    EXPECT_FALSE(pProm->HasChanged()) << "a read is not a write";
    EXPECT_EQ("123456 SixteenCharsName", Identity());
}

TEST_F(PromTest, EraseBlanksTheChipAndLeavesTheRawBytesInTheImage)
{
    eeprom_u Record = MakeRecord("Unit A");
    Start(&Record);
    pProm->Erase();
    EXPECT_EQ(std::string(4096, '\xff'), ReadFile(Dir + "/chip.bin"));
    EXPECT_EQ(std::string(6, '\xff') + " ", Identity().substr(0, 7));
    EXPECT_TRUE(pProm->HasChanged());
    EXPECT_FALSE(pProm->HasValidData());
}

TEST_F(PromTest, ARecordWithAnyMacByteUnlikeEth0sIsNotValid)
{
    for (int Byte = 0; Byte < 6; Byte++)
    {
        uint8_t Mac[6];
        memcpy(Mac, UnitMac, 6);
        Mac[Byte] ^= 0x10;
        eeprom_u Other = MakeRecord("Other", Mac);
        Start(&Other);
        EXPECT_FALSE(pProm->HasValidData()) << "byte " << Byte;
    }
}

// A chip still in the write cycle of a page cut short by a restart is waited
// for, at most 20 ms; a start-up read that fails all the same is reported
// once with its cause, and the retries never declare the chip dead (which
// would silence that report).
TEST_F(PromTest, StartUpReadWaitsOutAWriteCycleAndReportsAFailureOnceWithItsCause)
{
    const std::pair<std::string, std::string> Cases[] = {
        {R"("busy_at_start_ms": 6)", ""},
        {R"("busy_at_start_ms": 200)", ReadFailed(ENXIO)},
        {R"("no_ack": true)", ReadFailed(ENXIO)},
        {R"("long_read_fail": true)", ReadFailed(EOPNOTSUPP)},   // it acknowledges probes
    };
    for (const auto& Case : Cases)
    {
        eeprom_u Record = MakeRecord("Unit A");
        SetFakeClock(1);
        EXPECT_EQ(Case.second, Start(&Record, R"(, "faults": {)" + Case.first + "}")) << Case.first;
        EXPECT_LE(FakeClock.Ns, 1000021 * Ms) << Case.first;
        EXPECT_EQ(Case.second.empty(), pProm->HasValidData()) << Case.first;
        EXPECT_TRUE(pProm->DeviceIsOk()) << Case.first;
    }
}

// Each page is polled until the chip acknowledges: a chip that finished
// during a pause that overran the 20 ms limit has written its page; one
// still busy when polled after the limit has timed out. A write the chip did
// not take leaves the record it holds.
TEST_F(PromTest, WriteTimesOutOnlyAPageStillBusyAfterTheLimitAndKeepsWhatTheChipHolds)
{
    std::string TimeOuts;
    for (int Page = 0; Page < 128; Page++)
    {
        TimeOuts += "EEPROM ERR: Timed out while writing page " + std::to_string(Page) + ".\n";
    }
    const struct
    {
        std::string Device;
        uint64_t PauseMs;
        std::string Errors;
        const char* pIdentity;
    } Cases[] = {
        {R"(, "write_cycle_ms": 5)", 25, "", "123456 Renamed"},
        // The first page starts a write cycle that never ends.
        {R"(, "write_cycle_ms": 60000)", 1,
         TimeOuts + "EEPROM ERR: Could not read the record back; keeping the record the chip last held.\n",
         "123456 Unit A"},
        {R"(, "faults": {"power_cut_after_page": 3})", 1,
         "EEPROM ERR: The chip did not take the record; keeping what it holds.\n", "123456 Unit A"},
    };
    for (const auto& Case : Cases)
    {
        eeprom_u Record = MakeRecord("Unit A");
        Start(&Record, Case.Device);
        pProm->SetUnitName("Renamed");
        cCaptureStdout Capture;
        SetFakeClock(Case.PauseMs);
        pProm->EncryptWrite();
        FakeClock.Set = false;
        std::istringstream Out(Capture.Finish());
        std::string Errors;
        for (std::string Line; std::getline(Out, Line);)
        {
            Errors += Line.rfind("EEPROM ERR: ", 0) == 0 ? Line + "\n" : "";
        }
        EXPECT_EQ(Case.Errors, Errors) << Case.Device;
        // Each page takes at most the limit and one more pause.
        EXPECT_LE(FakeClock.Ns - 1000000 * Ms, 128 * (20 + Case.PauseMs) * Ms) << Case.Device;
        EXPECT_GE(FakeClock.Ns - 1000000 * Ms, Case.Errors.find("Timed") == std::string::npos ? 0 : 128 * 20 * Ms);
        EXPECT_EQ(Case.pIdentity, Identity());
        EXPECT_TRUE(pProm->HasValidData());
        EXPECT_FALSE(pProm->WriteRequired());
        EXPECT_TRUE(pProm->HasChanged());
        EXPECT_FALSE(pProm->HasChanged()) << "a write is reported once";
    }
}

// The faults the simulated chip makes at transfer or data write N.
struct Fault_s
{
    enum eKind
    {
        NACK,   // transfer N is not acknowledged
        CUT,    // the power is cut after data write N
        TORN,   // ... and data write N+1 stores only its first bytes
    } Kind;
    int N;
};

std::string FaultsJson(const std::vector<Fault_s>& Faults)
{
    std::string Nacks, Cut;
    for (const Fault_s& Fault : Faults)
    {
        if (Fault_s::NACK == Fault.Kind)
        {
            Nacks += (Nacks.empty() ? "" : ", ") + std::to_string(Fault.N);
        }
        else
        {
            Cut = R"(, "power_cut_after_page": )" + std::to_string(Fault.N)
                  + (Fault_s::TORN == Fault.Kind ? R"(, "torn_page_bytes": 24)" : "");
        }
    }
    return R"(, "write_cycle_ms": 0, "faults": {"nack_transfer": [)" + Nacks + "]" + Cut + "}";
}

// Every index natively; in a cross build (run under an emulator) the first
// and last four and every eighth.
std::vector<int> Sampled(int First, int Last)
{
    std::vector<int> Numbers;
    for (int N = First; N <= Last; N++)
    {
#ifdef EEPROM_FAULT_SAMPLE
        if (N - First >= 4 && Last - N >= 4 && (N - First) % 8 != 0)
        {
            continue;
        }
#endif
        Numbers.push_back(N);
    }
    return Numbers;
}

// A rename is 258 transfers: the read at start, 128 page writes each with
// its poll (a 0 ms write cycle), the read back. Each single fault at every
// one of them, and every pair among the first four, then a restart: the
// chip holds the old name, the new one, or a name the service cannot
// publish (a rename repairs it), never a valid mixture; and the record
// after the write, which the service publishes, holds the chip's name or,
// when the chip could not be read back, the old one: a rename is never
// reported done while the chip lacks it.
TEST_F(PromTest, RenameUnderAnyFaultLeavesTheOldNameTheNewOneOrAnUnpublishableOne)
{
    std::vector<std::vector<Fault_s>> Cases;
    for (int N : Sampled(1, 258))
    {
        Cases.push_back({{Fault_s::NACK, N}});
    }
    for (int N : Sampled(0, 128))
    {
        Cases.push_back({{Fault_s::CUT, N}});
        Cases.push_back({{Fault_s::TORN, N}});
    }
    // The first four transfers: the read at start, page 0 and its poll, page 1.
    const std::vector<Fault_s> Early = {{Fault_s::NACK, 1}, {Fault_s::NACK, 2}, {Fault_s::NACK, 3}, {Fault_s::NACK, 4},
                                        {Fault_s::CUT, 0},  {Fault_s::CUT, 1},  {Fault_s::TORN, 0}, {Fault_s::TORN, 1}};
    for (size_t First = 0; First < Early.size(); First++)
    {
        for (size_t Second = First + 1; Second < Early.size(); Second++)
        {
            if (Fault_s::NACK == Early[First].Kind || Fault_s::NACK == Early[Second].Kind)
            {
                Cases.push_back({Early[First], Early[Second]});
            }
        }
    }
    std::map<std::string, int> Outcomes;
    for (const auto& Case : Cases)
    {
        std::string Faults = FaultsJson(Case);
        eeprom_u Record = MakeRecord("Old name");
        Start(&Record, Faults);
        // As the command handler: only a record read as this unit's is renamed
        // (a read at start that failed leaves one that is not, published
        // as INVLD).
        bool Valid = pProm->HasValidData();
        cCaptureStdout Capture;
        if (Valid)
        {
            pProm->SetUnitName("New name");
            pProm->EncryptWrite();
        }
        bool ReadBackFailed = Capture.Finish().find("Could not read the record back") != std::string::npos;
        std::string Published = Valid ? Identity() : "INVLD";
        Start(nullptr, R"(, "write_cycle_ms": 0)");
        std::string Stored = Identity();
        ASSERT_TRUE(pProm->HasValidData()) << Faults;
        char Name[17];
        pProm->GetUnitName(Name);
        json_t* pjtName = json_string(Name);
        std::string Outcome = Stored == "123456 Old name"   ? "old"
                              : Stored == "123456 New name" ? "new"
                              : pjtName == nullptr          ? "unpublishable"
                                                            : "mixture " + Stored;
        json_decref(pjtName);
        EXPECT_TRUE(Outcome == "old" || Outcome == "new" || Outcome == "unpublishable") << Faults << ": " << Outcome;
        EXPECT_TRUE(Published == Stored || (ReadBackFailed && Published == "123456 Old name")
                    || (!Valid && Outcome == "old"))
            << Faults << ": published " << Published << ", stored " << Stored;
        Outcomes[Outcome]++;
    }
    // Every cut before the name's page keeps the old name, after it the new.
    EXPECT_EQ(3u, Outcomes.size());
    printf("rename fault matrix: %zu runs, %d old, %d new, %d unpublishable\n", Cases.size(), Outcomes["old"],
           Outcomes["new"], Outcomes["unpublishable"]);
}

// Against openssl's AES-128-CBC with the record's key ("Tq8rNbLw3KsZe" and
// three zero bytes) and IV ("hR4mWc9JxVt2PqLd"), fresh on every call; mode 1
// encrypts and every other mode decrypts.
TEST_F(PromTest, CipherIsAes128CbcWithTheRecordKeyAndIv)
{
    eeprom_u Plain = MakeRecord("Cipher");
    std::ofstream(Dir + "/plain", std::ios::binary).write(reinterpret_cast<char*>(Plain.b), 4096);
    ASSERT_EQ(0, system(("openssl enc -aes-128-cbc -nopad -K 547138724e624c77334b735a65000000 -iv "
                         "6852346d5763394a7856743250714c64 -in " + Dir + "/plain -out " + Dir + "/enc").c_str()));
    for (int Mode : {0, 2, -1})
    {
        eeprom_u Image = Plain;
        cProm::Cipher(Image.b, 1);
        EXPECT_EQ(ReadFile(Dir + "/enc"), std::string(reinterpret_cast<char*>(Image.b), 4096));
        cProm::Cipher(Image.b, Mode);
        EXPECT_EQ(0, memcmp(Image.b, Plain.b, 4096)) << "mode " << Mode << " decrypts";
    }
}

TEST(PromNameTest, StoredAsAtMost15BytesOfWholeCharactersZeroPadded)
{
    const char* const Cases[][2] = {
        {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLM\xe2\x82\xac", "ABCDEFGHIJKLM"},             // characters the cut
        {"ABCDEFGHIJKL\xf0\x9f\x98\x80", "ABCDEFGHIJKL"},           // would split go whole
        {"ABCDEFGHIJKLM\xc3\xbcZ", "ABCDEFGHIJKLM\xc3\xbc"},
        {"A\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80",     // not UTF-8:
         "A\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80"},        // a byte cut
    };
    for (const auto& Case : Cases)
    {
        uint8_t Field[16];
        memset(Field, 0xAA, sizeof(Field));
        cProm::CutUnitName(Case[0], Field);
        std::string Expected(Case[1]);
        Expected.resize(16, '\0');
        EXPECT_EQ(Expected, std::string(reinterpret_cast<char*>(Field), 16)) << Case[0];
    }
}
}
