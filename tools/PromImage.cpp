// PromImage: "promtool image create" and "promtool image show"; "image
// batch" is PromBatch's.
#include "PromImage.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <mbedtls/sha256.h>

#include "AesLibHandler.h"
#include "Prom.h"
#include "PromCommandLine.h"
#include "PromOutput.h"
#include "PromRecord.h"

namespace
{
const char* const HelpCommand = "image";

void ImageUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool image create --serial NNNNNN --mac MAC [--name NAME] [--force] [--json]\n"
        "                             -o IMAGE\n"
        "       promtool image create --from FILE [--serial NNNNNN] [--mac MAC] [--name NAME]\n"
        "                             [--force] [--json] -o IMAGE\n"
        "       promtool image show IMAGE [--mac MAC] [--dump] [--json]\n"
        "       promtool image batch ... (see promtool image batch --help)\n"
        "\n"
        "create  writes an encrypted 4096-byte chip image: serial number (six\n"
        "        digits), MAC address, unit name (UTF-8, at most 15 bytes); the\n"
        "        other bytes are zero, or taken from FILE (a plaintext record or a\n"
        "        chip image, told apart by its serial number), which also supplies\n"
        "        any of serial, MAC and name not given. -o is short for --output;\n"
        "        IMAGE is never overwritten without --force. --json prints one JSON\n"
        "        object: serial, mac, unit_name, file and the image's sha256.\n"
        "batch   issues identities to many units at once, each recorded in the\n"
        "        ledger of issued identities, and writes their images.\n"
        "show    decrypts IMAGE and prints serial number, MAC address, unit name\n"
        "        and whether the record is valid for MAC (default: this machine's\n"
        "        eth0); --dump adds the whole plaintext as a hex dump, --json prints\n"
        "        one JSON object instead. Exit status 0 only when the record is\n"
        "        valid for that MAC address and the service can publish it (its\n"
        "        serial number and unit name are UTF-8; a line says when not).\n"
        "-h, --help shows this.\n"
        "\n"
        "Examples:\n"
        "  promtool image create --serial 123456 --mac 02:00:00:00:00:01 --name \"Unit A\" -o chip.bin\n"
        "  promtool image create --from old.bin --name \"Bench 7\" -o new.bin\n"
        "  promtool image show chip.bin --mac 02:00:00:00:00:01 --dump\n");
}

// Fills *pRecord from FILE, a plaintext record or a chip image: a plaintext
// record starts with its six-digit serial number, a chip image does so only
// once decrypted. Without SerialGiven the serial number must be there.
// Returns true on failure (reported).
bool LoadFrom(const char* pFrom, bool SerialGiven, eeprom_u* pRecord)
{
    if (ReadImageFile(pFrom, pRecord->b))
    {
        return true;
    }
    if (SerialIsValid(pRecord->s.sn))
    {
        return false;
    }
    eeprom_u Decrypted = *pRecord;
    cPromImage::Decrypt(Decrypted.b);
    if (SerialIsValid(Decrypted.s.sn))
    {
        *pRecord = Decrypted;
        return false;
    }
    if (!SerialGiven)
    {
        ToolError("%s: serial number '%s' is not six decimal digits, as a plaintext record or as a chip image; "
                  "give --serial", pFrom, EscapedText(Decrypted.s.sn, sizeof(Decrypted.s.sn)).c_str());
        return true;
    }
    ToolWarning("%s has no serial number in either form; taking it as a plaintext record", pFrom);
    return false;
}

// The arguments of image create: as given (null: not given), and parsed.
struct CreateArgs_s
{
    const char* pSerial = nullptr;
    const char* pMac = nullptr;
    const char* pName = nullptr;
    const char* pFrom = nullptr;
    const char* pOutput = nullptr;
    bool Force = false;
    bool Json = false;
    uint8_t Mac[6] = {};        // pMac, parsed
    uint8_t Name[16] = {};      // pName (or no name), as the record stores it
};

// Parses and checks the command line of image create. Returns -1 to go on,
// otherwise the exit status (help printed, or a usage error reported).
int ParseCreate(int argc, char* argv[], CreateArgs_s* pArgs)
{
    CommandLine_s Line = {HelpCommand, ImageUsage,
                          {TextOption("serial", 0, &pArgs->pSerial), TextOption("mac", 0, &pArgs->pMac),
                           TextOption("name", 0, &pArgs->pName), TextOption("from", 0, &pArgs->pFrom),
                           TextOption("output", 'o', &pArgs->pOutput), FlagOption("force", &pArgs->Force),
                           FlagOption("json", &pArgs->Json)}};
    int Status = ParseCommandLine(argc, argv, Line);
    if (Status >= 0)
    {
        return Status;
    }
    if (pArgs->pOutput == nullptr)
    {
        return UsageError(HelpCommand, "the output file is missing: give -o IMAGE");
    }
    // Without --from, serial number and MAC address are needed; with it,
    // whatever is not given is kept from FILE.
    if (pArgs->pFrom == nullptr && (pArgs->pSerial == nullptr || pArgs->pMac == nullptr))
    {
        return UsageError(HelpCommand, "%s is missing (or give --from FILE)",
                          pArgs->pSerial == nullptr ? "--serial" : "--mac");
    }
    if ((pArgs->pSerial != nullptr && SerialArgumentIsBad(HelpCommand, "--serial", pArgs->pSerial))
        || (pArgs->pMac != nullptr && MacArgumentIsBad(HelpCommand, "--mac", pArgs->pMac, pArgs->Mac))
        || StoreCheckedName(HelpCommand, "--name", pArgs->pName != nullptr ? pArgs->pName : "", pArgs->Name))
    {
        return ExitUsage;
    }
    return -1;
}

// Checks what FILE supplies to the record as the options are checked.
// Returns true on failure (reported).
bool FromFileIsBad(const CreateArgs_s& Args, const eeprom_u& Record)
{
    std::string FromName = StoredName(Record.s.unit_name);
    if (Args.pName == nullptr && !Utf8IsValid(FromName.data(), FromName.size()))
    {
        ToolError("%s: unit name '%s' is not valid UTF-8; give --name", Args.pFrom,
                  EscapedText(Record.s.unit_name, FromName.size()).c_str());
        return true;
    }
    if (Args.pMac == nullptr)
    {
        WarnUnusualMac((std::string(Args.pFrom) + ": MAC address").c_str(), Record.s.mac);
    }
    return false;
}

// The plaintext record: zeros, or FILE, with the arguments given put in.
// Returns true on failure (reported).
bool BuildRecord(const CreateArgs_s& Args, eeprom_u* pRecord)
{
    memset(pRecord, 0, sizeof(*pRecord));
    if (Args.pFrom != nullptr
        && (LoadFrom(Args.pFrom, Args.pSerial != nullptr, pRecord) || FromFileIsBad(Args, *pRecord)))
    {
        return true;
    }
    if (Args.pSerial != nullptr)
    {
        memcpy(pRecord->s.sn, Args.pSerial, sizeof(pRecord->s.sn));
    }
    if (Args.pMac != nullptr)
    {
        memcpy(pRecord->s.mac, Args.Mac, sizeof(pRecord->s.mac));
    }
    if (Args.pName != nullptr || Args.pFrom == nullptr)
    {
        memcpy(pRecord->s.unit_name, Args.Name, sizeof(Args.Name));
    }
    return false;
}

int Create(int argc, char* argv[])
{
    CreateArgs_s Args;
    int Status = ParseCreate(argc, argv, &Args);
    if (Status >= 0)
    {
        return Status;
    }
    eeprom_u Record;
    if (cPromImage::BindCipher() || BuildRecord(Args, &Record))
    {
        return ExitFailed;
    }
    eeprom_u Image = Record;
    cPromImage::Encrypt(Image.b);
    if (WriteImageFile(Args.pOutput, Image.b, Args.Force))
    {
        return ExitFailed;
    }
    if (Args.Json)
    {
        json_t* pjtImage = json_pack("{s:s}", "file", Args.pOutput);
        json_object_update_new(pjtImage, RecordFieldsJson(Record.s));
        json_object_set_new(pjtImage, "sha256", json_string(ImageSha256(Image.b).c_str()));
        PrintJson(pjtImage);
    }
    return ExitOk;
}

int Show(int argc, char* argv[])
{
    ShowOptions_s Options;
    int Status = ParseShowOptions(argc, argv, HelpCommand, ImageUsage, "the image file is missing", &Options);
    if (Status >= 0)
    {
        return Status;
    }
    eeprom_u Record;
    if (ReadImageFile(Options.pFile, Record.b) || cPromImage::BindCipher())
    {
        return ExitFailed;
    }
    return ShowStoredImage(Record.b, Options.Judge, Options.Format);
}
}

std::string ImageSha256(const uint8_t* pImage)
{
    unsigned char Digest[32];
    mbedtls_sha256_ret(pImage, ImageBytes, Digest, 0);
    return HexText(Digest, sizeof(Digest));
}

int ShowStoredImage(const uint8_t* pStored, const Judge_s& Judge, const ShowFormat_s& Format)
{
    eeprom_u Record;
    memcpy(Record.b, pStored, sizeof(Record.b));
    cPromImage::Decrypt(Record.b);
    bool Interrupted = WriteWasInterrupted(pStored, Record.s, Judge);
    if (Interrupted)
    {
        ToolWarning("%s", InterruptedWriteText);
    }
    return ShowRecord(Record, Judge, Format, Interrupted);
}

bool cPromImage::BindCipher()
{
    {
        cReportsToStderr Reports;  // the binding's own reports of what it missed
        init_aes_lib();
    }
    if (!AesLibIsUsable())
    {
        ToolError("no usable AES cipher (liblibaes.so.1.0.so.1)");
        return true;
    }
    return false;
}

void cPromImage::Encrypt(uint8_t* pImage)
{
    cProm::Cipher(pImage, 1);
}

void cPromImage::Decrypt(uint8_t* pImage)
{
    cProm::Cipher(pImage, 0);
}

int PromImageCommand(int argc, char* argv[])
{
    // argv[0] is "image"; the verb follows.
    argc--;
    argv++;
    if (argc < 1)
    {
        return UsageError(HelpCommand, "no image command given: create, batch or show");
    }
    std::string Verb = argv[0];
    if (Verb == "create")
    {
        return Create(argc, argv);
    }
    if (Verb == "show")
    {
        return Show(argc, argv);
    }
    if (Verb == "-h" || Verb == "--help")
    {
        ImageUsage(stdout);
        return ExitOk;
    }
    return UsageError(HelpCommand, "unknown image command '%s': create, batch or show", argv[0]);
}
