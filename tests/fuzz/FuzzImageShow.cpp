// Fuzzes `promtool image show` of a chip image, on a simulated unit (its eth0
// judges when no --mac is given). The first byte chooses the command line and
// the shape of the image: bit 0 --json, bit 1 --dump, bit 2 --mac with the
// next six bytes, bit 3 a record of the judged MAC address (a valid one), and
// what a cut write leaves of the stored image: bit 4 the first cipher block
// blank, bit 5 its first byte, bit 6 its last byte, bit 7 the whole image. The
// rest is the decrypted record (padded or cut to 4096 bytes), encrypted before
// the tool reads it, so that every field the tool decodes and prints is under
// the fuzzer's control; a random ciphertext would decrypt to noise the fuzzer
// cannot steer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "FuzzSeeds.h"
#include "PromCommandLine.h"
#include "PromCommands.h"
#include "PromImage.h"

static std::string ImagePath;
static int Output = -1;     // standard output, kept to see what the tool showed

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In the runner's scratch directory (TMPDIR), which it removes.
    const char* pTmp = getenv("TMPDIR");
    std::string Dir = std::string(nullptr != pTmp ? pTmp : "/tmp") + "/fuzz-image-XXXXXX";
    if (nullptr == mkdtemp(&Dir[0]) || (Output = memfd_create("stdout", 0)) < 0
        || dup2(Output, STDOUT_FILENO) < 0 || cPromImage::BindCipher())
    {
        return 1;
    }
    ImagePath = Dir + "/chip.bin";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    const size_t Head = 7;  // the choices and the --mac address
    uint8_t Choice = Size > 0 ? pData[0] : 0;
    uint8_t Mac[6] = {};
    memcpy(Mac, pData + (Size > 0), std::min(Size, Head) - (Size > 0));
    eeprom_u Record = {};
    memcpy(Record.b, pData + std::min(Size, Head), std::min(Size - std::min(Size, Head), sizeof(Record)));
    Judge_s Judge = Eth0Judge();
    if (Choice & 4)
    {
        Judge.FromEth0 = false;
        memcpy(Judge.Mac, Mac, sizeof(Mac));
    }
    if (Choice & 8)
    {
        memcpy(Record.s.mac, Judge.Mac, sizeof(Judge.Mac));
    }
    eeprom_u Image = Record;
    cPromImage::Encrypt(Image.b);
    memset(Image.b, 0xFF, Choice & 128 ? sizeof(Image) : Choice & 16 ? CipherBlockBytes : 0);
    Image.b[0] = Choice & 32 ? 0xFF : Image.b[0];
    Image.b[CipherBlockBytes - 1] = Choice & 64 ? 0xFF : Image.b[CipherBlockBytes - 1];
    eeprom_u Stored = Image;    // the record as the tool finds it
    cPromImage::Decrypt(Stored.b);
    FILE* pFile = fopen(ImagePath.c_str(), "wb");
    if (nullptr == pFile || sizeof(Image) != fwrite(Image.b, 1, sizeof(Image), pFile) || 0 != fclose(pFile))
    {
        abort();
    }

    std::string MacArg = MacText(Mac);
    const char* Args[9] = {"promtool", "image", "show", ImagePath.c_str()};
    int Argc = 4;
    Args[Argc] = "--json";
    Argc += Choice & 1;
    Args[Argc] = "--dump";
    Argc += (Choice & 2) >> 1;
    Args[Argc] = "--mac";
    Args[Argc + 1] = MacArg.c_str();
    Argc += Choice & 4 ? 2 : 0;
    Args[Argc] = nullptr;
    if (0 != ftruncate(Output, 0) || 0 != lseek(Output, 0, SEEK_SET))
    {
        abort();
    }
    int Status = PromToolMain(Argc, const_cast<char**>(Args));
    // The record was decoded and shown: its MAC address is in the output.
    std::string Shown;
    if (SeedCheck())
    {
        char Text[16384];
        Shown.assign(Text, static_cast<size_t>(std::max<ssize_t>(0, pread(Output, Text, sizeof(Text), 0))));
    }
    SeedReached(ExitUsage != Status && Shown.find(MacText(Stored.s.mac)) != std::string::npos, Size,
                "image show's decoding of the record");
    return 0;
}
