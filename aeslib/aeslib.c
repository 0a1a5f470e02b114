/*  aeslib: PolarSSL 1.2 AES and SHA-2 entry points as thin shims over
    mbedTLS's libmbedcrypto.

    Each entry point keeps its mbedTLS context inside the caller's PolarSSL
    record, so the library has no state of its own and allocates nothing.
    The static assertions below prove at build time that the mbedTLS context
    fits the record, both in size and in alignment. mbedTLS's aes_context has
    PolarSSL's exact layout (nr, rk, buf[68]); that is asserted too, so nr
    and rk in the caller's record keep their PolarSSL meaning.

    Context life cycle. mbedTLS pairs every *_init with a *_free that wipes
    the context. SHA-2 maps onto that pair directly: sha2_starts initialises,
    sha2_finish frees. PolarSSL 1.2 has no function that ends an AES context,
    so a successfully keyed context is never freed: its key schedule stays in
    the caller's record until the caller overwrites it. Nothing leaks by that
    (mbedTLS's software AES holds no heap memory, lock or descriptor); only
    the wipe is left to the caller. A key setup that fails frees at once.
    Key setup always initialises first, because the caller's record may hold
    anything (a fresh stack frame, an earlier key).
*/
#include "aeslib.h"

#include <assert.h>
#include <stdalign.h>
#include <stddef.h>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#define AESLIB_EXPORT __attribute__((visibility("default")))

static_assert(sizeof(mbedtls_aes_context) <= sizeof(aes_context),
              "mbedTLS AES context does not fit aes_context");
static_assert(alignof(mbedtls_aes_context) <= alignof(aes_context),
              "mbedTLS AES context needs a stricter alignment than aes_context");
static_assert(offsetof(mbedtls_aes_context, nr) == offsetof(aes_context, nr)
              && offsetof(mbedtls_aes_context, rk) == offsetof(aes_context, rk)
              && offsetof(mbedtls_aes_context, buf) == offsetof(aes_context, buf),
              "mbedTLS AES context no longer has the PolarSSL layout");
static_assert(sizeof(mbedtls_sha256_context) <= sizeof(sha2_context),
              "mbedTLS SHA-256 context does not fit sha2_context");
static_assert(alignof(mbedtls_sha256_context) <= alignof(sha2_context),
              "mbedTLS SHA-256 context needs a stricter alignment than sha2_context");

/*  mbedTLS kept PolarSSL's error numbers; results are passed through. */
static_assert(MBEDTLS_ERR_AES_INVALID_KEY_LENGTH == POLARSSL_ERR_AES_INVALID_KEY_LENGTH,
              "AES key length error code differs");
static_assert(MBEDTLS_ERR_AES_INVALID_INPUT_LENGTH == POLARSSL_ERR_AES_INVALID_INPUT_LENGTH,
              "AES input length error code differs");

/*  The caller's record is only storage for the mbedTLS context. */
static mbedtls_aes_context* s_aes(aes_context* ctx)
{
    return (mbedtls_aes_context*) (void*) ctx;
}

static mbedtls_sha256_context* s_sha256(sha2_context* ctx)
{
    return (mbedtls_sha256_context*) (void*) ctx;
}

AESLIB_EXPORT int aes_setkey_enc(aes_context* ctx, const unsigned char* key, unsigned int keysize)
{
    mbedtls_aes_context* pAes = s_aes(ctx);
    mbedtls_aes_init(pAes);
    int Result = mbedtls_aes_setkey_enc(pAes, key, keysize);
    if (Result != 0)
    {
        mbedtls_aes_free(pAes);
    }
    return Result;
}

AESLIB_EXPORT int aes_setkey_dec(aes_context* ctx, const unsigned char* key, unsigned int keysize)
{
    mbedtls_aes_context* pAes = s_aes(ctx);
    mbedtls_aes_init(pAes);
    int Result = mbedtls_aes_setkey_dec(pAes, key, keysize);
    if (Result != 0)
    {
        mbedtls_aes_free(pAes);
    }
    return Result;
}

AESLIB_EXPORT int aes_crypt_cbc(aes_context* ctx, int mode, size_t length, unsigned char iv[16],
                                const unsigned char* input, unsigned char* output)
{
    mbedtls_aes_context* pAes = s_aes(ctx);
    /*  A failed key setup leaves a wiped context without round keys; mbedTLS
        would dereference the null pointer. */
    if (pAes->rk == NULL)
    {
        return POLARSSL_ERR_AES_INVALID_KEY_LENGTH;
    }
    /*  PolarSSL decrypts on AES_DECRYPT and encrypts on anything else. */
    int Mode = mode == AES_DECRYPT ? MBEDTLS_AES_DECRYPT : MBEDTLS_AES_ENCRYPT;
    return mbedtls_aes_crypt_cbc(pAes, Mode, length, iv, input, output);
}

/*  mbedTLS's software SHA-256 always succeeds; only alternative (hardware)
    implementations report errors. PolarSSL's SHA-2 entry points return
    nothing, so the results are dropped. */
AESLIB_EXPORT void sha2_starts(sha2_context* ctx, int is224)
{
    mbedtls_sha256_context* pSha = s_sha256(ctx);
    mbedtls_sha256_init(pSha);
    (void) mbedtls_sha256_starts_ret(pSha, is224 != 0);
}

AESLIB_EXPORT void sha2_update(sha2_context* ctx, const unsigned char* input, size_t ilen)
{
    (void) mbedtls_sha256_update_ret(s_sha256(ctx), input, ilen);
}

AESLIB_EXPORT void sha2_finish(sha2_context* ctx, unsigned char output[32])
{
    mbedtls_sha256_context* pSha = s_sha256(ctx);
    (void) mbedtls_sha256_finish_ret(pSha, output);
    mbedtls_sha256_free(pSha);
}
