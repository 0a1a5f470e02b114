// Fuzzes `promtool image show` of a chip image. The input is the decrypted
// record (padded or cut to 4096 bytes) and is encrypted before the tool reads
// it, so every field the tool decodes and prints is under the fuzzer's
// control; a random ciphertext would decrypt to noise the fuzzer cannot steer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "PromImage.h"

static std::string ImagePath;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char Template[] = "/tmp/fuzz-image-XXXXXX";
    if (nullptr == mkdtemp(Template) || nullptr == freopen("/dev/null", "w", stdout)
        || cPromImage::BindCipher())
    {
        return 1;
    }
    ImagePath = std::string(Template) + "/chip.bin";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    uint8_t Image[4096] = {};
    memcpy(Image, pData, Size < sizeof(Image) ? Size : sizeof(Image));
    cPromImage::Encrypt(Image);
    FILE* pFile = fopen(ImagePath.c_str(), "wb");
    if (nullptr == pFile || sizeof(Image) != fwrite(Image, 1, sizeof(Image), pFile) || 0 != fclose(pFile))
    {
        abort();
    }
    const char* Args[] = {"image", "show", ImagePath.c_str(), "--mac", "02:00:00:00:00:01", "--dump", nullptr};
    PromImageCommand(6, const_cast<char**>(Args));
    return 0;
}
