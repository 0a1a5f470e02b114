// The crypto library as the service binds it: init_aes_lib finds it through
// the RUNPATH, and the entry points meet the NIST SP 800-38A CBC-AES128 and
// FIPS 180-2 SHA-224/SHA-256 vectors, PolarSSL's error codes, and openssl.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "AesLibHandler.h"
#include "CaptureStdout.h"

namespace
{

typedef std::vector<unsigned char> tBytes;

tBytes FromHex(const std::string& Hex)
{
    tBytes Bytes;
    for (size_t i = 0; i + 1 < Hex.size(); i += 2)
    {
        Bytes.push_back(static_cast<unsigned char>(std::stoul(Hex.substr(i, 2), nullptr, 16)));
    }
    return Bytes;
}

std::string ToHex(const unsigned char* pBytes, size_t Count)
{
    std::string Hex;
    char Pair[3];
    for (size_t i = 0; i < Count; i++)
    {
        snprintf(Pair, sizeof(Pair), "%02x", pBytes[i]);
        Hex += Pair;
    }
    return Hex;
}

// NIST SP 800-38A, F.2.1 and F.2.2 (CBC-AES128).
const tBytes NistKey = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
const tBytes NistIv = FromHex("000102030405060708090a0b0c0d0e0f");
const tBytes NistPlain = FromHex(
    "6bc1bee22e409f96e93d7e117393172a" "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef" "f69f2445df4f9b17ad2b417be66c3710");
const tBytes NistCipher = FromHex(
    "7649abac8119b246cee98e9b12e9197d" "5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e22229516" "3ff1caa1681fac09120eca307586e1a7");
const tBytes NistLastBlock(NistCipher.end() - 16, NistCipher.end());

class AesLibTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        cCaptureStdout Capture;
        init_aes_lib();
        BindOutput = Capture.Finish();
    }

    void SetUp() override
    {
        ASSERT_TRUE(AesLibIsUsable() && p_sha2_starts && p_sha2_update && p_sha2_finish)
            << BindOutput;
    }

    // CBC over Input under NistKey; Iv is updated as the library does.
    tBytes Cbc(int Mode, const tBytes& Input, unsigned char Iv[16])
    {
        aes_context Ctx;
        int Result = Mode == 1 ? p_aes_setkey_enc(&Ctx, NistKey.data(), 128)
                               : p_aes_setkey_dec(&Ctx, NistKey.data(), 128);
        EXPECT_EQ(0, Result);
        tBytes Output(Input.size());
        EXPECT_EQ(0, p_aes_crypt_cbc(&Ctx, Mode, Input.size(), Iv, Input.data(), Output.data()));
        return Output;
    }

    static std::string BindOutput;
};

std::string AesLibTest::BindOutput;

TEST_F(AesLibTest, BindsQuietlyThroughRunpath)
{
    EXPECT_EQ("", BindOutput);
    // The entry points come from the library of this build tree.
    Dl_info Info;
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(p_aes_crypt_cbc), &Info));
    char Found[PATH_MAX];
    char Built[PATH_MAX];
    ASSERT_NE(nullptr, realpath(Info.dli_fname, Found));
    ASSERT_NE(nullptr, realpath(AESLIB_FILE, Built));
    EXPECT_STREQ(Built, Found);
}

TEST_F(AesLibTest, ExportsOnlyThePolarSslEntryPoints)
{
    FILE* pNm = popen("nm -D --defined-only '" AESLIB_FILE "'", "r");
    ASSERT_NE(nullptr, pNm);
    std::set<std::string> Names;
    char Line[512];
    char Name[256];
    while (fgets(Line, sizeof(Line), pNm) != nullptr)
    {
        if (sscanf(Line, "%*s %*s %255s", Name) == 1)
        {
            Names.insert(Name);
        }
    }
    ASSERT_EQ(0, pclose(pNm));
    EXPECT_EQ((std::set<std::string>{"aes_setkey_enc", "aes_setkey_dec", "aes_crypt_cbc",
                                     "sha2_starts", "sha2_update", "sha2_finish"}),
              Names);
}

TEST_F(AesLibTest, CbcMatchesNistVectorsAndChainsTheIv)
{
    unsigned char Iv[16];
    memcpy(Iv, NistIv.data(), 16);
    EXPECT_EQ(NistCipher, Cbc(1, NistPlain, Iv));
    EXPECT_EQ(NistLastBlock, tBytes(Iv, Iv + 16));

    memcpy(Iv, NistIv.data(), 16);
    EXPECT_EQ(NistPlain, Cbc(0, NistCipher, Iv));
    EXPECT_EQ(NistLastBlock, tBytes(Iv, Iv + 16));

    // Block by block with the returned IV gives the same message.
    memcpy(Iv, NistIv.data(), 16);
    tBytes Chained;
    for (size_t Block = 0; Block < 4; Block++)
    {
        tBytes Out = Cbc(1, tBytes(NistPlain.begin() + 16 * Block,
                                   NistPlain.begin() + 16 * (Block + 1)), Iv);
        Chained.insert(Chained.end(), Out.begin(), Out.end());
    }
    EXPECT_EQ(NistCipher, Chained);
}

TEST_F(AesLibTest, ReportsPolarSslErrorCodes)
{
    aes_context Ctx;
    unsigned char Key[32] = {0};
    unsigned char Iv[16] = {0};
    unsigned char In[48] = {0};
    unsigned char Out[48] = {0};
    for (unsigned Bits : {0u, 127u, 129u, 512u})
    {
        EXPECT_EQ(-0x0020, p_aes_setkey_enc(&Ctx, Key, Bits)) << Bits;
        EXPECT_EQ(-0x0020, p_aes_setkey_dec(&Ctx, Key, Bits)) << Bits;
    }
    // A context whose key setup failed is refused, not used.
    EXPECT_EQ(-0x0020, p_aes_crypt_cbc(&Ctx, 1, 16, Iv, In, Out));

    EXPECT_EQ(0, p_aes_setkey_enc(&Ctx, Key, 192));
    EXPECT_EQ(0, p_aes_setkey_dec(&Ctx, Key, 256));
    for (size_t Length : {1u, 15u, 17u, 47u})
    {
        EXPECT_EQ(-0x0022, p_aes_crypt_cbc(&Ctx, 0, Length, Iv, In, Out)) << Length;
    }
    EXPECT_EQ(std::string(48, '\0'), std::string(reinterpret_cast<char*>(Out), 48));
}

std::string Sha(int Is224, const std::string& Message, size_t Chunk)
{
    sha2_context Ctx;
    unsigned char Digest[32];
    memset(Digest, 0xee, sizeof(Digest));
    p_sha2_starts(&Ctx, Is224);
    for (size_t Done = 0; Done < Message.size(); Done += Chunk)
    {
        size_t Count = std::min(Chunk, Message.size() - Done);
        p_sha2_update(&Ctx, reinterpret_cast<const unsigned char*>(Message.data()) + Done, Count);
    }
    p_sha2_finish(&Ctx, Digest);
    if (Is224)
    {
        // SHA-224 fills 28 bytes and leaves the rest of the buffer alone.
        EXPECT_EQ("eeeeeeee", ToHex(Digest + 28, 4));
        return ToHex(Digest, 28);
    }
    return ToHex(Digest, 32);
}

TEST_F(AesLibTest, ShaMatchesFips180Vectors)
{
    const std::string Abc = "abc";
    const std::string Long = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string Million(1000000, 'a');
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha(0, Abc, 3));
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", Sha(0, Long, 56));
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", Sha(0, Long, 5));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              Sha(0, Million, 997));
    EXPECT_EQ("23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7", Sha(1, Abc, 1));
    EXPECT_EQ("75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525", Sha(1, Long, 56));
    EXPECT_EQ("20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67",
              Sha(1, Million, 1000000));
}

// The record cipher's case: a 4096-byte image under the service's key and
// IV, against openssl run on the same bytes.
TEST_F(AesLibTest, RecordImageMatchesOpenssl)
{
    unsigned char Key[16] = "Tq8rNbLw3KsZe";   // 13 characters, 3 zero bytes
    const unsigned char StoredIv[17] = "hR4mWc9JxVt2PqLd";
    tBytes Image(4096);
    for (size_t i = 0; i < Image.size(); i++)
    {
        Image[i] = static_cast<unsigned char>(i * 37 + (i >> 8));
    }
    aes_context Ctx;
    unsigned char Iv[16];
    memcpy(Iv, StoredIv, 16);
    ASSERT_EQ(0, p_aes_setkey_enc(&Ctx, Key, 128));
    tBytes Ours(Image.size());
    ASSERT_EQ(0, p_aes_crypt_cbc(&Ctx, 1, Image.size(), Iv, Image.data(), Ours.data()));

    char Path[] = "/tmp/aeslib-image-XXXXXX";
    int Fd = mkstemp(Path);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(Image.size()), write(Fd, Image.data(), Image.size()));
    close(Fd);
    std::string Command = "openssl enc -aes-128-cbc -nopad -K " + ToHex(Key, 16) + " -iv "
                        + ToHex(StoredIv, 16) + " -in " + Path;
    FILE* pOpenssl = popen(Command.c_str(), "r");
    ASSERT_NE(nullptr, pOpenssl);
    tBytes Theirs(Image.size() + 1);
    size_t Count = fread(Theirs.data(), 1, Theirs.size(), pOpenssl);
    int Status = pclose(pOpenssl);
    unlink(Path);
    ASSERT_EQ(0, Status) << Command;
    ASSERT_EQ(Image.size(), Count);
    EXPECT_EQ(ToHex(Theirs.data(), 16), ToHex(Ours.data(), 16));
    EXPECT_EQ(tBytes(Theirs.begin(), Theirs.begin() + 4096), Ours);

    // And back, from the stored IV again.
    memcpy(Iv, StoredIv, 16);
    ASSERT_EQ(0, p_aes_setkey_dec(&Ctx, Key, 128));
    tBytes Back(Image.size());
    ASSERT_EQ(0, p_aes_crypt_cbc(&Ctx, 0, Ours.size(), Iv, Ours.data(), Back.data()));
    EXPECT_EQ(Image, Back);
}

}
