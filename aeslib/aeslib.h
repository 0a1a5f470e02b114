/*  aeslib: the AES and SHA-2 entry points of PolarSSL 1.2 (aes.h, sha2.h),
    shipped as the shared library liblibaes.so.1.0.so.1.

    Programs that were written against PolarSSL 1.2 bind these six functions
    by name, usually at run time with dlopen/dlsym, and keep the context
    records below in their own memory. The records have the PolarSSL 1.2
    sizes, so callers may place them on the stack or in static storage; the
    library keeps all of its state inside them and allocates nothing.

    aes_context keeps PolarSSL's field meaning (rounds, pointer to the round
    keys, key schedule); rk points into the same record, so a keyed context
    must not be copied to another address and used there. sha2_context is
    storage only: its fields do not hold PolarSSL's intermediate values.
    PolarSSL 1.2 has no function that releases a context, and neither has
    this library: an AES key schedule stays in the caller's record until the
    caller overwrites it. sha2_finish wipes its context itself.
*/
#ifndef AESLIB_AESLIB_H
#define AESLIB_AESLIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AES_ENCRYPT     1
#define AES_DECRYPT     0

/*  Key length not 128, 192 or 256 bits (also: cipher on a context whose key
    setup failed). */
#define POLARSSL_ERR_AES_INVALID_KEY_LENGTH     -0x0020
/*  CBC input length not a multiple of 16 bytes. */
#define POLARSSL_ERR_AES_INVALID_INPUT_LENGTH   -0x0022

typedef struct
{
    int nr;                     /* number of rounds */
    uint32_t* rk;               /* round keys, inside buf */
    uint32_t buf[68];           /* key schedule */
} aes_context;

typedef struct
{
    uint32_t total[2];          /* bytes processed */
    uint32_t state[8];          /* intermediate digest state */
    unsigned char buffer[64];   /* data block being processed */
    unsigned char ipad[64];     /* HMAC: inner padding */
    unsigned char opad[64];     /* HMAC: outer padding */
    int is224;                  /* 0 for SHA-256, 1 for SHA-224 */
} sha2_context;

/*  Prepares ctx for encryption with a key of keysize bits (128, 192 or 256).
    Returns 0 if OK, POLARSSL_ERR_AES_INVALID_KEY_LENGTH for any other size
    (ctx is then wiped and refuses to cipher). */
int aes_setkey_enc(aes_context* ctx, const unsigned char* key, unsigned int keysize);

/*  Prepares ctx for decryption; as aes_setkey_enc otherwise. */
int aes_setkey_dec(aes_context* ctx, const unsigned char* key, unsigned int keysize);

/*  AES in CBC mode over length bytes, a whole number of 16-byte blocks, from
    input to output (they may be the same buffer); no padding is added.
    mode AES_DECRYPT (0) decrypts, any other value encrypts; ctx must have
    been prepared for that direction. iv is read as the chaining value and
    receives the last ciphertext block, so consecutive calls continue one
    message. Returns 0 if OK, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH when
    length is not a multiple of 16 (nothing is written), or
    POLARSSL_ERR_AES_INVALID_KEY_LENGTH when ctx's key setup failed. */
int aes_crypt_cbc(aes_context* ctx, int mode, size_t length, unsigned char iv[16],
                  const unsigned char* input, unsigned char* output);

/*  Starts a SHA-256 digest (is224 0) or a SHA-224 digest (any other value). */
void sha2_starts(sha2_context* ctx, int is224);

/*  Adds ilen bytes of input to the digest started on ctx. */
void sha2_update(sha2_context* ctx, const unsigned char* input, size_t ilen);

/*  Writes the digest to output (32 bytes; SHA-224 fills the first 28) and
    wipes ctx. Start again with sha2_starts to reuse it. */
void sha2_finish(sha2_context* ctx, unsigned char output[32]);

#ifdef __cplusplus
}
#endif

#endif
