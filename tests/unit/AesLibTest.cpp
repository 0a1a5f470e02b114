// The crypto library as the service binds it: init_aes_lib opens it by file
// name through this binary's RUNPATH. Built three times, by AESLIB_CASE:
// 0, the RUNPATH leads to this build tree's library, which must meet the
// NIST SP 800-38A CBC-AES128 and FIPS 180-2 vectors, PolarSSL's error codes
// and openssl; 1, it leads to no library; 2, to one without aes_setkey_dec.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <set>

#include "AesLibHandler.h"
#include "CaptureStdout.h"

// What binding the library printed: done once, before the tests run.
const std::string Report = [] {
    cCaptureStdout Capture;
    init_aes_lib();
    return Capture.Finish();
}();

TEST(AesLibTest, BindingReportsWhatIsMissingInOrder)
{
#if AESLIB_CASE == 1
    const std::string Expected[] = {"Error loading liblibaes.so.1.0.so.1\nCan't find aes_setkey_enc\n"
        "Can't find aes_setkey_dec\nCan't find aes_crypt_cbc\nCan't find sha2_starts\nCan't find sha2_update\n"
        "Can't find sha2_finish\n", "------"};
#elif AESLIB_CASE == 2
    const std::string Expected[] = {"Can't find aes_setkey_dec\n", "x-xxxx"};
#else
    const std::string Expected[] = {"", "xxxxxx"};
#endif
    std::string Found;   // the six entry points in their order, x when found
    for (void* pFunc : {reinterpret_cast<void*>(p_aes_setkey_enc), reinterpret_cast<void*>(p_aes_setkey_dec),
                        reinterpret_cast<void*>(p_aes_crypt_cbc), reinterpret_cast<void*>(p_sha2_starts),
                        reinterpret_cast<void*>(p_sha2_update), reinterpret_cast<void*>(p_sha2_finish)})
    {
        Found += pFunc ? 'x' : '-';
    }
    EXPECT_EQ(Expected[0], Report);
    EXPECT_EQ(Expected[1], Found);
    EXPECT_EQ(AESLIB_CASE != 1, nullptr != aeslib);
    // Encryption alone cannot read the chip back: the cipher is unusable then.
    EXPECT_EQ(AESLIB_CASE == 0, AesLibIsUsable());
}

#if AESLIB_CASE == 0
typedef std::vector<unsigned char> tBytes;

static tBytes FromHex(const char* pHex)
{
    tBytes Bytes;
    for (unsigned Byte; 1 == sscanf(pHex, "%2x", &Byte); pHex += 2)
    {
        Bytes.push_back(static_cast<unsigned char>(Byte));
    }
    return Bytes;
}

// Mode 1 encrypts, 0 decrypts In under a 128-bit key; Iv is updated.
static tBytes Cbc(int Mode, const unsigned char* pKey, const tBytes& In, unsigned char Iv[16])
{
    aes_context Ctx;
    EXPECT_EQ(0, (Mode ? p_aes_setkey_enc : p_aes_setkey_dec)(&Ctx, pKey, 128));
    tBytes Out(In.size());
    EXPECT_EQ(0, p_aes_crypt_cbc(&Ctx, Mode, In.size(), Iv, In.data(), Out.data()));
    return Out;
}

// The entry points come from this build tree's library, which exports them
// and nothing else.
TEST(AesLibTest, BoundLibraryExportsOnlyThePolarSslEntryPoints)
{
    Dl_info Info;
    char Loaded[PATH_MAX], Built[PATH_MAX];
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(p_aes_crypt_cbc), &Info));
    EXPECT_STREQ(realpath(AESLIB_FILE, Built), realpath(Info.dli_fname, Loaded));
    FILE* pNm = popen("nm -D --defined-only '" AESLIB_FILE "'", "r");
    std::set<std::string> Names;
    char Name[256];
    while (1 == fscanf(pNm, "%*s %*s %255s", Name))
    {
        Names.insert(Name);
    }
    EXPECT_EQ(0, pclose(pNm));
    EXPECT_EQ((std::set<std::string>{"aes_setkey_enc", "aes_setkey_dec", "aes_crypt_cbc", "sha2_starts",
                                     "sha2_update", "sha2_finish"}), Names);
}

TEST(AesLibTest, CbcMatchesNistVectorsAndLeavesTheLastBlockAsIv)
{
    const tBytes Key = FromHex("2b7e151628aed2a6abf7158809cf4f3c"), Iv0 = FromHex("000102030405060708090a0b0c0d0e0f");
    const tBytes Plain = FromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                 "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const tBytes Cipher = FromHex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                                  "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    unsigned char Iv[16];
    for (int Mode : {1, 0})
    {
        memcpy(Iv, Iv0.data(), 16);
        EXPECT_EQ(Mode ? Cipher : Plain, Cbc(Mode, Key.data(), Mode ? Plain : Cipher, Iv));
        EXPECT_EQ(tBytes(Cipher.end() - 16, Cipher.end()), tBytes(Iv, Iv + 16));
    }
}

TEST(AesLibTest, ReportsPolarSslErrorCodes)
{
    aes_context Ctx;
    unsigned char Key[32] = {0}, Iv[16] = {0}, In[48] = {0}, Out[48] = {0};
    for (unsigned Bits : {0u, 127u, 129u, 512u})
    {
        EXPECT_EQ(-0x0020, p_aes_setkey_enc(&Ctx, Key, Bits)) << Bits;
        EXPECT_EQ(-0x0020, p_aes_setkey_dec(&Ctx, Key, Bits)) << Bits;
    }
    EXPECT_EQ(-0x0020, p_aes_crypt_cbc(&Ctx, 1, 16, Iv, In, Out)) << "a context whose key setup failed";
    EXPECT_EQ(0, p_aes_setkey_enc(&Ctx, Key, 192) + p_aes_setkey_dec(&Ctx, Key, 256));
    for (size_t Length : {1u, 15u, 17u, 47u})
    {
        EXPECT_EQ(-0x0022, p_aes_crypt_cbc(&Ctx, 0, Length, Iv, In, Out)) << Length;
    }
    EXPECT_EQ(std::string(48, '\0'), std::string(reinterpret_cast<char*>(Out), 48));
}

// The digest of Message fed in pieces of Chunk bytes, in a 32-byte buffer
// filled with 0xee before: a SHA-224 digest must leave its last 4 bytes alone.
static tBytes Sha(int Is224, const std::string& Message, size_t Chunk)
{
    sha2_context Ctx;
    unsigned char Digest[32];
    memset(Digest, 0xee, sizeof(Digest));
    p_sha2_starts(&Ctx, Is224);
    for (size_t Done = 0; Done < Message.size(); Done += Chunk)
    {
        p_sha2_update(&Ctx, reinterpret_cast<const unsigned char*>(Message.data()) + Done,
                      std::min(Chunk, Message.size() - Done));
    }
    p_sha2_finish(&Ctx, Digest);
    return tBytes(Digest, Digest + 32);
}

TEST(AesLibTest, ShaMatchesFips180Vectors)
{
    const std::string Long = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", Million(1000000, 'a');
    EXPECT_EQ(FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"), Sha(0, "abc", 3));
    EXPECT_EQ(FromHex("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"), Sha(0, Long, 5));
    EXPECT_EQ(FromHex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"), Sha(0, Million, 997));
    EXPECT_EQ(FromHex("23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7eeeeeeee"), Sha(1, "abc", 1));
    EXPECT_EQ(FromHex("75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525eeeeeeee"), Sha(1, Long, 56));
    EXPECT_EQ(FromHex("20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67eeeeeeee"), Sha(1, Million, 1000000));
}

// The record cipher's case: a 4096-byte image (of zeros) under a key with
// trailing zero bytes ("Tq8rNbLw3KsZe"), against openssl, and back.
TEST(AesLibTest, RecordImageMatchesOpenssl)
{
    const char* const pKey = "547138724e624c77334b735a65000000";
    const char* const pIv = "6852346d5763394a7856743250714c64";
    const tBytes Image(4096, 0);
    tBytes Theirs(4097);
    const std::string Command = std::string("head -c 4096 /dev/zero | openssl enc -aes-128-cbc -nopad -K ") + pKey
                              + " -iv " + pIv;
    FILE* pOpenssl = popen(Command.c_str(), "r");
    Theirs.resize(fread(Theirs.data(), 1, Theirs.size(), pOpenssl));
    EXPECT_EQ(0, pclose(pOpenssl)) << Command;
    tBytes Iv = FromHex(pIv);
    tBytes Ours = Cbc(1, FromHex(pKey).data(), Image, Iv.data());
    EXPECT_EQ(Theirs, Ours);
    Iv = FromHex(pIv);
    EXPECT_EQ(Image, Cbc(0, FromHex(pKey).data(), Ours, Iv.data()));
}
#endif
