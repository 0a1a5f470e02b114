// PromImage: "promtool image create" and "promtool image show".
#include "PromImage.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "AesLibHandler.h"
#include "NetworkUtils.h"
#include "Prom.h"
#include "PromToolCommon.h"
#include "Utilities.h"

namespace
{
const size_t ImageBytes = sizeof(eeprom_u);

void ImageUsage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool image create --serial NNNNNN --mac MAC [--name NAME]\n"
        "                             [--from FILE] [--force] -o IMAGE\n"
        "       promtool image create --from FILE [--serial ...] [--mac ...] [--name ...] -o IMAGE\n"
        "       promtool image show IMAGE [--mac MAC] [--dump]\n"
        "\n"
        "create  writes an encrypted 4096-byte chip image: serial number (six\n"
        "        digits), MAC address, unit name (at most 15 bytes); the other\n"
        "        bytes are zero, or taken from FILE (a plaintext record or a chip\n"
        "        image, told apart by its serial number), which also supplies\n"
        "        any of serial, MAC and name not given. Never overwrites IMAGE\n"
        "        without --force.\n"
        "show    decrypts IMAGE and prints serial number, MAC address, unit name\n"
        "        and whether the record is valid for MAC (default: this machine's\n"
        "        eth0); --dump adds the whole plaintext as a hex dump.\n"
        "\n"
        "Examples:\n"
        "  promtool image create --serial 123456 --mac 02:00:00:00:00:01 --name \"Unit A\" -o chip.bin\n"
        "  promtool image show chip.bin --mac 02:00:00:00:00:01 --dump\n");
}

bool SerialLooksRight(const uint8_t* pSn)
{
    for (int i = 0; i < 6; i++)
    {
        if (!isdigit(pSn[i]))
        {
            return false;
        }
    }
    return true;
}

// Reads a whole 4096-byte file. Returns true on failure (reported).
bool ReadImageFile(const char* pPath, uint8_t* pImage)
{
    int Fd = open(pPath, O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
    {
        ToolError("cannot open %s: %s", pPath, strerror(errno));
        return true;
    }
    struct stat Info;
    if (fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)
        || Info.st_size != static_cast<off_t>(ImageBytes))
    {
        ToolError("%s: %lld bytes; a chip image has exactly %zu", pPath,
                  static_cast<long long>(Info.st_size), ImageBytes);
        close(Fd);
        return true;
    }
    size_t Done = 0;
    while (Done < ImageBytes)
    {
        ssize_t n = read(Fd, pImage + Done, ImageBytes - Done);
        if (n <= 0)
        {
            ToolError("cannot read %s: %s", pPath, n < 0 ? strerror(errno) : "file shrank");
            close(Fd);
            return true;
        }
        Done += static_cast<size_t>(n);
    }
    close(Fd);
    return false;
}

bool WriteImageFile(const char* pPath, const uint8_t* pImage, bool Force)
{
    int Flags = O_WRONLY | O_CREAT | O_CLOEXEC | (Force ? O_TRUNC : O_EXCL);
    int Fd = open(pPath, Flags, 0644);
    if (Fd < 0)
    {
        if (errno == EEXIST)
        {
            ToolError("%s exists; use --force to overwrite it", pPath);
        }
        else
        {
            ToolError("cannot create %s: %s", pPath, strerror(errno));
        }
        return true;
    }
    ssize_t n = write(Fd, pImage, ImageBytes);
    if (n != static_cast<ssize_t>(ImageBytes) || close(Fd) != 0)
    {
        ToolError("cannot write %s: %s", pPath, strerror(errno));
        return true;
    }
    return false;
}

// Prints bytes as text, escaping what is not printable ASCII or UTF-8.
void PrintText(const uint8_t* pBytes, size_t Length)
{
    for (size_t i = 0; i < Length && pBytes[i] != 0; i++)
    {
        if (pBytes[i] >= 0x20 && pBytes[i] != 0x7F && pBytes[i] != '\\')
        {
            putchar(pBytes[i]);
        }
        else
        {
            printf("\\x%02x", pBytes[i]);
        }
    }
}

int Create(int argc, char* argv[])
{
    static const option Options[] = {
        {"serial", required_argument, nullptr, 's'}, {"mac", required_argument, nullptr, 'm'},
        {"name", required_argument, nullptr, 'n'},   {"from", required_argument, nullptr, 'f'},
        {"output", required_argument, nullptr, 'o'}, {"force", no_argument, nullptr, 'F'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    const char* pSerial = nullptr;
    const char* pMac = nullptr;
    const char* pName = nullptr;
    const char* pFrom = nullptr;
    const char* pOutput = nullptr;
    bool Force = false;
    int Option;
    optind = 1;
    while ((Option = getopt_long(argc, argv, "o:h", Options, nullptr)) != -1)
    {
        switch (Option)
        {
        case 's': pSerial = optarg; break;
        case 'm': pMac = optarg; break;
        case 'n': pName = optarg; break;
        case 'f': pFrom = optarg; break;
        case 'o': pOutput = optarg; break;
        case 'F': Force = true; break;
        case 'h': ImageUsage(stdout); return 0;
        default: ImageUsage(stderr); return 1;
        }
    }
    // Without --from, serial number and MAC address are needed; with it,
    // whatever is not given is kept from FILE.
    if (pOutput == nullptr || optind != argc
        || (pFrom == nullptr && (pSerial == nullptr || pMac == nullptr)))
    {
        ImageUsage(stderr);
        return 1;
    }
    if (pSerial != nullptr
        && (strlen(pSerial) != 6 || !SerialLooksRight(reinterpret_cast<const uint8_t*>(pSerial))))
    {
        return ToolError("--serial: '%s' is not six decimal digits", pSerial);
    }
    uint8_t MacBytes[6];
    if (pMac != nullptr && ParseMac(pMac, MacBytes))
    {
        return ToolError("--mac: '%s' is not a MAC address like 02:00:00:00:00:01", pMac);
    }
    if (cPromImage::BindCipher())
    {
        return 1;
    }

    eeprom_u Record;
    memset(&Record, 0, sizeof(Record));
    if (pFrom != nullptr)
    {
        if (ReadImageFile(pFrom, Record.b))
        {
            return 1;
        }
        // A plaintext record starts with its six-digit serial number; a chip
        // image does so only once decrypted.
        if (!SerialLooksRight(Record.s.sn))
        {
            eeprom_u Decrypted = Record;
            cPromImage::Decrypt(Decrypted.b);
            if (SerialLooksRight(Decrypted.s.sn))
            {
                Record = Decrypted;
            }
            else
            {
                ToolWarning("%s has no serial number in either form; taking it as a plaintext record", pFrom);
            }
        }
    }
    if (pSerial != nullptr)
    {
        memcpy(Record.s.sn, pSerial, sizeof(Record.s.sn));
    }
    if (pMac != nullptr)
    {
        memcpy(Record.s.mac, MacBytes, sizeof(Record.s.mac));
    }
    if (pName != nullptr || pFrom == nullptr)
    {
        pName = pName != nullptr ? pName : "";
        cProm::CutUnitName(pName, Record.s.unit_name);
        size_t Stored = strnlen(reinterpret_cast<const char*>(Record.s.unit_name), 16);
        if (strlen(pName) != Stored)
        {
            ToolWarning("--name: cut to the %zu bytes a unit name can hold", Stored);
        }
    }
    cPromImage::Encrypt(Record.b);
    return WriteImageFile(pOutput, Record.b, Force) ? 1 : 0;
}

int Show(int argc, char* argv[])
{
    static const option Options[] = {{"mac", required_argument, nullptr, 'm'},
                                     {"dump", no_argument, nullptr, 'd'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    const char* pMac = nullptr;
    bool Dump = false;
    int Option;
    optind = 1;
    while ((Option = getopt_long(argc, argv, "h", Options, nullptr)) != -1)
    {
        switch (Option)
        {
        case 'm': pMac = optarg; break;
        case 'd': Dump = true; break;
        case 'h': ImageUsage(stdout); return 0;
        default: ImageUsage(stderr); return 1;
        }
    }
    if (optind + 1 != argc)
    {
        ImageUsage(stderr);
        return 1;
    }
    const char* pPath = argv[optind];
    uint8_t MacBytes[6] = {};
    bool HaveMac = true;
    if (pMac != nullptr)
    {
        if (ParseMac(pMac, MacBytes))
        {
            return ToolError("--mac: '%s' is not a MAC address like 02:00:00:00:00:01", pMac);
        }
    }
    else if (if_nametoindex("eth0") == 0 || GetMacBytesFromIoctl(MacBytes))
    {
        HaveMac = false;
    }

    eeprom_u Record;
    if (ReadImageFile(pPath, Record.b) || cPromImage::BindCipher())
    {
        return 1;
    }
    cPromImage::Decrypt(Record.b);

    char MacText[18];
    printf("Serial number: ");
    PrintText(Record.s.sn, sizeof(Record.s.sn));
    GetMacStringFromBytes(MacText, Record.s.mac);
    printf("\nMAC address:   %s\nUnit name:     ", MacText);
    PrintText(Record.s.unit_name, sizeof(Record.s.unit_name));
    printf("\n");
    if (HaveMac)
    {
        GetMacStringFromBytes(MacText, MacBytes);
        bool Valid = 0 == memcmp(Record.s.mac, MacBytes, sizeof(MacBytes));
        printf("Valid for %s: %s\n", MacText, Valid ? "yes" : "no");
    }
    else
    {
        printf("Valid: unknown (no eth0 here; give --mac)\n");
    }
    if (Dump)
    {
        PrintBuffer(Record.b, sizeof(Record.b));
    }
    return 0;
}
}

bool cPromImage::BindCipher()
{
    // The loader's own reports go to stdout; keep stdout for data.
    fflush(stdout);
    int SavedStdout = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    init_aes_lib();
    fflush(stdout);
    dup2(SavedStdout, STDOUT_FILENO);
    close(SavedStdout);
    if (!AesLibIsUsable())
    {
        ToolError("no usable AES cipher (liblibaes.so.1.0.so.1)");
        return true;
    }
    return false;
}

void cPromImage::Encrypt(uint8_t* pImage)
{
    cProm::EncryptOrDecrypt(pImage, 1);
}

void cPromImage::Decrypt(uint8_t* pImage)
{
    cProm::EncryptOrDecrypt(pImage, 0);
}

int PromImageCommand(int argc, char* argv[])
{
    if (argc < 1)
    {
        ImageUsage(stderr);
        return 1;
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
        return 0;
    }
    ImageUsage(stderr);
    return 1;
}
