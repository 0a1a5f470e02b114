// cProm on the simulated identity chip: the whole-chip read, the page
// writes with acknowledge polling, the record flags, the cipher, and what the
// record does when the chip or the crypto library fails.
//
// Runs on a simulated unit whose eth0 has MAC 02:00:00:00:00:01; each test
// loads a fresh simulated chip in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "CaptureStdout.h"
#include "AesLibHandler.h"
#include "I2cBus.h"
#include "Prom.h"
#include "UnitsimI2c.h"

// The record's own cipher, reached the way the host image tool reaches it.
class cPromImage
{
public:
    static void Encrypt(uint8_t* pImage) { cProm::EncryptOrDecrypt(pImage, 1); }
    static void Decrypt(uint8_t* pImage) { cProm::EncryptOrDecrypt(pImage, 0); }
    static void Cipher(uint8_t* pImage, int Mode) { cProm::EncryptOrDecrypt(pImage, Mode); }
};

namespace
{
const uint8_t UnitMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

std::vector<uint8_t> ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& Path, const void* pData, size_t Size)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(static_cast<const char*>(pData), static_cast<std::streamsize>(Size));
}

std::vector<std::string> ReadLines(const std::string& Path)
{
    std::vector<std::string> Lines;
    std::ifstream In(Path);
    std::string Line;
    while (std::getline(In, Line))
    {
        Lines.push_back(Line);
    }
    return Lines;
}

// The fields of one transfer-log line:
// "<t>.<m> i2c-<bus> <W|R> 0x<aa> len=<L> <ack|nack>[ <hh> ...]".
struct LogLine
{
    std::string Transfer;
    int Message;
    char Direction;
    int Length;
    bool Ack;
    std::vector<int> Bytes;
};

LogLine ParseLogLine(const std::string& Text)
{
    LogLine Line;
    std::istringstream In(Text);
    std::string Id, Bus, Dir, Addr, Len, Ack;
    In >> Id >> Bus >> Dir >> Addr >> Len >> Ack;
    Line.Transfer = Id.substr(0, Id.find('.'));
    Line.Message = std::stoi(Id.substr(Id.find('.') + 1));
    Line.Direction = Dir[0];
    Line.Length = std::stoi(Len.substr(4));
    Line.Ack = Ack == "ack";
    std::string Byte;
    while (In >> Byte)
    {
        Line.Bytes.push_back(std::stoi(Byte, nullptr, 16));
    }
    return Line;
}

eeprom_u MakeRecord(const char* pSerial, const uint8_t* pMac, const char* pName)
{
    eeprom_u Record;
    std::mt19937 Random(7);
    for (uint8_t& Byte : Record.b)
    {
        Byte = static_cast<uint8_t>(Random());
    }
    memcpy(Record.s.sn, pSerial, 6);
    memcpy(Record.s.mac, pMac, 6);
    memset(Record.s.unit_name, 0, sizeof(Record.s.unit_name));
    memcpy(Record.s.unit_name, pName, strnlen(pName, 16));
    return Record;
}

class PromTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/prom-test-XXXXXX";
        Dir = mkdtemp(Template);
        ImagePath = Dir + "/chip.bin";
        LogPath = Dir + "/transfers.log";
        setenv("UNITSIM_STATE_DIR", Dir.c_str(), 1);
    }

    void TearDown() override
    {
        DestroyProm();
        CloseI2cBusses();
        std::string Command = "rm -rf '" + Dir + "'";
        EXPECT_EQ(0, system(Command.c_str()));
    }

    // A chip holding Record encrypted (or nothing: blank), with the given
    // extra device settings, on bus 1 of a fresh simulated unit.
    void LoadChip(const eeprom_u* pRecord, const std::string& Extra = "")
    {
        if (pRecord != nullptr)
        {
            eeprom_u Stored = *pRecord;
            cPromImage::Encrypt(Stored.b);
            WriteFile(ImagePath, Stored.b, sizeof(Stored.b));
        }
        std::string UnitPath = Dir + "/unit.json";
        std::string Description = "{\"i2c\": {\"log\": \"transfers.log\", \"buses\": {"
            "\"0\": [], \"2\": [], \"1\": [{\"model\": \"24c32\", \"address\": \"0x50\", "
            "\"image\": \"chip.bin\"" + Extra + "}]}}}";
        WriteFile(UnitPath, Description.data(), Description.size());
        ASSERT_EQ(0, unitsim_i2c_load(UnitPath.c_str()));
        InitI2cBusses();
    }

    // Creates the record object, with what it prints.
    std::string Create()
    {
        cCaptureStdout Capture;
        CreateProm();
        return Capture.Finish();
    }

    std::string Name()
    {
        char Text[17];
        pProm->GetUnitName(Text);
        return Text;
    }

    std::string Dir;
    std::string ImagePath;
    std::string LogPath;
};

// The cipher must be bound before images can be made.
class PromCipherEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        cCaptureStdout Quiet;
        init_aes_lib();
    }
};
::testing::Environment* const CipherEnvironment =
    ::testing::AddGlobalTestEnvironment(new PromCipherEnvironment);

TEST_F(PromTest, ReadsTheWholeChipInOneCombinedTransfer)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Unit A");
    LoadChip(&Record);
    EXPECT_EQ("", Create());

    std::vector<std::string> Log = ReadLines(LogPath);
    ASSERT_EQ(2u, Log.size());
    LogLine Address = ParseLogLine(Log[0]);
    LogLine Data = ParseLogLine(Log[1]);
    EXPECT_EQ(Address.Transfer, Data.Transfer);
    EXPECT_EQ('W', Address.Direction);
    EXPECT_EQ(2, Address.Length);
    EXPECT_EQ((std::vector<int>{0x00, 0x00}), Address.Bytes);
    EXPECT_EQ('R', Data.Direction);
    EXPECT_EQ(4096, Data.Length);
    EXPECT_TRUE(Data.Ack);

    char Serial[7];
    pProm->GetSerialNumber(Serial);
    EXPECT_STREQ("123456", Serial);
    EXPECT_EQ("Unit A", Name());
    EXPECT_TRUE(pProm->HasValidData());
    EXPECT_FALSE(pProm->HasChanged());
    EXPECT_FALSE(pProm->WriteRequired());
}

TEST_F(PromTest, WritesAllPagesInAddressOrderPollingAfterEach)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Unit A");
    LoadChip(&Record);
    Create();
    std::vector<uint8_t> Before = ReadFile(ImagePath);
    size_t ReadLinesAtStart = ReadLines(LogPath).size();

    pProm->SetUnitName("Bench 7");
    cCaptureStdout Capture;
    pProm->EncryptWrite();
    EXPECT_EQ("", Capture.Finish());

    std::vector<std::string> Log = ReadLines(LogPath);
    std::vector<LogLine> Lines;
    for (size_t i = ReadLinesAtStart; i < Log.size(); i++)
    {
        Lines.push_back(ParseLogLine(Log[i]));
    }
    // Page n: one 34-byte write at n * 32, then polls of 0x0F 0xFE until one
    // is acknowledged; after the last page the whole chip is read back.
    size_t At = 0;
    for (int Page = 0; Page < 128; Page++)
    {
        ASSERT_LT(At, Lines.size());
        const LogLine& Write = Lines[At++];
        ASSERT_EQ('W', Write.Direction) << "page " << Page;
        ASSERT_EQ(34, Write.Length);
        ASSERT_TRUE(Write.Ack);
        ASSERT_EQ(Page * 32 >> 8, Write.Bytes[0]);
        ASSERT_EQ(Page * 32 & 0xFF, Write.Bytes[1]);
        int Polls = 0;
        bool Acked = false;
        while (!Acked)
        {
            ASSERT_LT(At, Lines.size());
            const LogLine& Poll = Lines[At++];
            ASSERT_EQ(2, Poll.Length) << "page " << Page;
            if (Poll.Ack)
            {
                ASSERT_EQ((std::vector<int>{0x0F, 0xFE}), Poll.Bytes);
            }
            Acked = Poll.Ack;
            Polls++;
        }
        EXPECT_GE(Polls, 2) << "the chip cannot end a write cycle at once";
    }
    ASSERT_EQ(At + 2, Lines.size());
    EXPECT_EQ(4096, Lines[At + 1].Length);

    // Only the blocks from the unit name on change in the stored record.
    std::vector<uint8_t> After = ReadFile(ImagePath);
    ASSERT_EQ(4096u, After.size());
    EXPECT_TRUE(std::equal(Before.begin(), Before.begin() + 4048, After.begin()));
    EXPECT_NE(Before, After);

    EXPECT_EQ("Bench 7", Name());
    EXPECT_FALSE(pProm->WriteRequired());
    EXPECT_TRUE(pProm->HasChanged());
    EXPECT_FALSE(pProm->HasChanged()) << "a change is reported once";

    // A new record object reads the new record back from the chip.
    DestroyProm();
    Create();
    EXPECT_EQ("Bench 7", Name());
    EXPECT_TRUE(pProm->HasValidData());
}

TEST_F(PromTest, FlagsFollowSetAndRead)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Same");
    LoadChip(&Record);
    Create();

    pProm->SetUnitName(nullptr);
    EXPECT_FALSE(pProm->WriteRequired()) << "a null name changes nothing";
    pProm->SetUnitName("Same");
    EXPECT_TRUE(pProm->WriteRequired()) << "even an unchanged name asks for a write";
    pProm->SetUnitName(nullptr);
    EXPECT_TRUE(pProm->WriteRequired());

    pProm->DecryptRead();
    EXPECT_FALSE(pProm->WriteRequired());
    EXPECT_FALSE(pProm->HasChanged()) << "a read is not a write";
    EXPECT_EQ("Same", Name());

    pProm->SetUnitName("");
    EXPECT_EQ("", Name());
    EXPECT_TRUE(pProm->WriteRequired());
}

TEST_F(PromTest, NamesAreStoredAsAtMost15BytesOfWholeCharacters)
{
    uint8_t Field[16];
    auto Stored = [&Field](const char* pName) {
        memset(Field, 0xAA, sizeof(Field));
        cProm::CutUnitName(pName, Field);
        return std::string(reinterpret_cast<char*>(Field), strnlen(reinterpret_cast<char*>(Field), 16));
    };
    EXPECT_EQ("ABCDEFGHIJKLMNO", Stored("ABCDEFGHIJKLMNO"));
    EXPECT_EQ("ABCDEFGHIJKLMNO", Stored("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(0, Field[15]);
    EXPECT_EQ("Short", Stored("Short"));
    EXPECT_EQ(0, Field[5]) << "the rest of the field is zero";
    EXPECT_EQ(0, Field[14]);
    // Cuts that would split a 2-, 3- or 4-byte character drop it whole.
    EXPECT_EQ("ABCDEFGHIJKLMN", Stored("ABCDEFGHIJKLMN\xc3\xbc"));
    EXPECT_EQ("ABCDEFGHIJKLM", Stored("ABCDEFGHIJKLM\xe2\x82\xac"));
    EXPECT_EQ("ABCDEFGHIJKL", Stored("ABCDEFGHIJKL\xf0\x9f\x98\x80"));
    EXPECT_EQ("ABCDEFGHIJKLM\xc3\xbc", Stored("ABCDEFGHIJKLM\xc3\xbc" "Z"));
    // Bytes that are not UTF-8 at all are cut at 15 as they stand.
    EXPECT_EQ("A\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80",
              Stored("A\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80"));
}

TEST_F(PromTest, NameFieldWithoutTerminatorReadsAsSixteenCharacters)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "");
    memcpy(Record.s.unit_name, "SixteenCharsName", 16);
    LoadChip(&Record);
    Create();
    EXPECT_EQ("SixteenCharsName", Name());
}

TEST_F(PromTest, RecordOfAnotherMacIsNotValid)
{
    for (int Byte = 0; Byte < 6; Byte++)
    {
        uint8_t Mac[6];
        memcpy(Mac, UnitMac, 6);
        Mac[Byte] ^= 0x10;
        eeprom_u Record = MakeRecord("123456", Mac, "Other");
        LoadChip(&Record);
        Create();
        EXPECT_FALSE(pProm->HasValidData()) << "byte " << Byte;
        DestroyProm();
        CloseI2cBusses();
    }
}

TEST_F(PromTest, EraseLeavesTheRawChipContent)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Unit A");
    LoadChip(&Record);
    Create();
    pProm->Erase();
    std::vector<uint8_t> Chip = ReadFile(ImagePath);
    EXPECT_EQ(std::vector<uint8_t>(4096, 0xFF), Chip);
    char Serial[7];
    pProm->GetSerialNumber(Serial);
    EXPECT_EQ(std::string(6, '\xff'), Serial) << "not decrypted";
    EXPECT_TRUE(pProm->HasChanged());
    EXPECT_FALSE(pProm->HasValidData());
}

TEST_F(PromTest, ChipThatStopsAnsweringTimesOutEveryPageAndKeepsTheChipsRecord)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Unit A");
    // The first page starts a write cycle that never ends.
    LoadChip(&Record, ", \"write_cycle_ms\": 60000");
    Create();
    pProm->SetUnitName("Lost");
    cCaptureStdout Capture;
    pProm->EncryptWrite();
    std::string Out = Capture.Finish();

    std::string Expected;
    for (int Page = 0; Page < 128; Page++)
    {
        Expected += "EEPROM ERR: Timed out while writing page " + std::to_string(Page) + ".\n";
    }
    std::string TimeOuts;
    std::istringstream Lines(Out);
    std::string Line;
    while (std::getline(Lines, Line))
    {
        if (Line.rfind("EEPROM ERR: Timed out", 0) == 0)
        {
            TimeOuts += Line + "\n";
        }
    }
    EXPECT_EQ(Expected, TimeOuts);
    EXPECT_NE(std::string::npos,
              Out.find("I2C Error : EEPROM (Addr 0x50) is being declared dead due to communication errors.\n"));
    EXPECT_NE(std::string::npos,
              Out.find("EEPROM ERR: Could not read the record back; keeping the record the chip last held.\n"));
    EXPECT_EQ("Unit A", Name()) << "the name the chip did not take is not kept";
    EXPECT_TRUE(pProm->HasValidData());
    EXPECT_FALSE(pProm->WriteRequired());
    EXPECT_TRUE(pProm->HasChanged());
}

TEST_F(PromTest, PowerCutMidWriteKeepsWhatTheChipHolds)
{
    eeprom_u Record = MakeRecord("123456", UnitMac, "Unit A");
    LoadChip(&Record, ", \"faults\": {\"power_cut_after_page\": 3}");
    Create();
    pProm->SetUnitName("Half");
    cCaptureStdout Capture;
    pProm->EncryptWrite();
    EXPECT_EQ("EEPROM ERR: The chip did not take the record; keeping what it holds.\n",
              Capture.Finish());
    EXPECT_EQ("Unit A", Name());
    char Serial[7];
    pProm->GetSerialNumber(Serial);
    EXPECT_STREQ("123456", Serial);
    EXPECT_TRUE(pProm->HasValidData());
}

TEST_F(PromTest, ChipThatNeverAnswersLeavesNoValidRecord)
{
    LoadChip(nullptr, ", \"faults\": {\"no_ack\": true}");
    std::string Out = Create();
    EXPECT_EQ("I2C Error : I2C Device EEPROM read failed:\n"
              "I2C Error :  - Error:  No such device or address\n", Out);
    EXPECT_FALSE(pProm->HasValidData());
}

TEST(PromCipherTest, RoundTripsAndIsDeterministic)
{
    uint8_t Plain[4096];
    std::mt19937 Random(11);
    for (uint8_t& Byte : Plain)
    {
        Byte = static_cast<uint8_t>(Random());
    }
    uint8_t First[4096];
    uint8_t Second[4096];
    memcpy(First, Plain, sizeof(Plain));
    memcpy(Second, Plain, sizeof(Plain));
    cPromImage::Encrypt(First);
    cPromImage::Encrypt(Second);
    EXPECT_EQ(0, memcmp(First, Second, sizeof(First))) << "the IV is fresh on every call";
    EXPECT_NE(0, memcmp(First, Plain, sizeof(First)));

    for (int Mode : {0, 2, -1})
    {
        uint8_t Copy[4096];
        memcpy(Copy, First, sizeof(Copy));
        cPromImage::Cipher(Copy, Mode);
        EXPECT_EQ(0, memcmp(Copy, Plain, sizeof(Plain))) << "mode " << Mode << " decrypts";
    }
}

TEST(PromCipherTest, MatchesOpensslAes128Cbc)
{
    uint8_t Plain[4096];
    std::mt19937 Random(5);
    for (uint8_t& Byte : Plain)
    {
        Byte = static_cast<uint8_t>(Random());
    }
    char Template[] = "/tmp/prom-cipher-XXXXXX";
    std::string Dir = mkdtemp(Template);
    WriteFile(Dir + "/plain.bin", Plain, sizeof(Plain));
    // Key "Tq8rNbLw3KsZe" and three zero bytes; IV "hR4mWc9JxVt2PqLd".
    std::string Command = "openssl enc -aes-128-cbc -nopad -K 547138724e624c77334b735a65000000"
                          " -iv 6852346d5763394a7856743250714c64 -in " + Dir + "/plain.bin -out "
                          + Dir + "/openssl.bin";
    ASSERT_EQ(0, system(Command.c_str()));
    std::vector<uint8_t> Reference = ReadFile(Dir + "/openssl.bin");
    cPromImage::Encrypt(Plain);
    ASSERT_EQ(4096u, Reference.size());
    EXPECT_EQ(0, memcmp(Reference.data(), Plain, sizeof(Plain)));
    EXPECT_EQ(0, system(("rm -rf '" + Dir + "'").c_str()));
}
}
