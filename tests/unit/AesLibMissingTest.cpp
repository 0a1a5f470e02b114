// init_aes_lib when the crypto library cannot be found: this binary's
// RUNPATH names an empty directory.
#include <gtest/gtest.h>

#include "AesLibHandler.h"
#include "CaptureStdout.h"

TEST(AesLibMissingTest, ReportsLoadErrorAndEveryLookupInOrder)
{
    cCaptureStdout Capture;
    init_aes_lib();
    EXPECT_EQ("Error loading liblibaes.so.1.0.so.1\n"
              "Can't find aes_setkey_enc\n"
              "Can't find aes_setkey_dec\n"
              "Can't find aes_crypt_cbc\n"
              "Can't find sha2_starts\n"
              "Can't find sha2_update\n"
              "Can't find sha2_finish\n",
              Capture.Finish());
    EXPECT_EQ(nullptr, aeslib);
    EXPECT_EQ(nullptr, p_aes_setkey_enc);
    EXPECT_EQ(nullptr, p_aes_setkey_dec);
    EXPECT_EQ(nullptr, p_aes_crypt_cbc);
    EXPECT_EQ(nullptr, p_sha2_starts);
    EXPECT_EQ(nullptr, p_sha2_update);
    EXPECT_EQ(nullptr, p_sha2_finish);
    EXPECT_FALSE(AesLibIsUsable());
}
