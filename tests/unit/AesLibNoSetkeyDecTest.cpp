// init_aes_lib with a library that lacks aes_setkey_dec: this binary's
// RUNPATH leads to such a variant, built for the tests only.
#include <gtest/gtest.h>

#include "AesLibHandler.h"
#include "CaptureStdout.h"

TEST(AesLibNoSetkeyDecTest, ReportsTheMissingEntryPointOnly)
{
    cCaptureStdout Capture;
    init_aes_lib();
    EXPECT_EQ("Can't find aes_setkey_dec\n", Capture.Finish());
    EXPECT_NE(nullptr, aeslib);
    EXPECT_NE(nullptr, p_aes_setkey_enc);
    EXPECT_EQ(nullptr, p_aes_setkey_dec);
    EXPECT_NE(nullptr, p_aes_crypt_cbc);
    EXPECT_NE(nullptr, p_sha2_starts);
    EXPECT_NE(nullptr, p_sha2_update);
    EXPECT_NE(nullptr, p_sha2_finish);
    // Encryption alone cannot read the chip back: the cipher is unusable.
    EXPECT_FALSE(AesLibIsUsable());
}
