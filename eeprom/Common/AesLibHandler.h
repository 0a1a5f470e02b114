// AesLibHandler: binds the crypto library liblibaes.so.1.0.so.1 at run time.
//
// The record cipher calls the library's PolarSSL 1.2 AES entry points
// through the pointers below; the SHA-2 entry points are looked up too but
// never called. init_aes_lib loads the library by file name (the dynamic
// loader searches the program's RUNPATH, $ORIGIN/../lib) and fills the
// pointers; the library then stays loaded for the life of the process.
// A missing library or entry point is reported on standard output and
// leaves the pointer null; AesLibIsUsable tells whether the cipher can run.
// Single-threaded: the globals are written without a lock.
#ifndef EEPROM_COMMON_AESLIBHANDLER_H
#define EEPROM_COMMON_AESLIBHANDLER_H

#include <cstddef>
#include <cstdint>

// The library's context records, with PolarSSL 1.2's layout. The caller
// provides the memory; the library fills it.
struct aes_context
{
    int nr;             // number of rounds
    uint32_t* rk;       // round keys (inside buf)
    uint32_t buf[68];   // key schedule
};

struct sha2_context
{
    uint32_t total[2];          // bytes processed
    uint32_t state[8];          // intermediate digest state
    unsigned char buffer[64];   // data block being processed
    unsigned char ipad[64];     // HMAC inner padding
    unsigned char opad[64];     // HMAC outer padding
    int is224;                  // 0 for SHA-256, 1 for SHA-224
};

// Entry-point types. The library has C linkage.
extern "C"
{
    // Key setup for encryption or decryption; keysize in bits (128).
    // Returns 0 if OK, non-zero for a bad key size.
    typedef int (*aes_setkey_func)(aes_context* ctx, const unsigned char* key,
                                   unsigned int keysize);
    // AES-CBC over length bytes (whole blocks); mode 1 encrypts, 0 decrypts.
    // iv is read as the IV and may be overwritten with the last chaining
    // value. Returns 0 if OK.
    typedef int (*aes_crypt_cbc_func)(aes_context* ctx, int mode, size_t length,
                                      unsigned char iv[16], const unsigned char* input,
                                      unsigned char* output);
    typedef void (*sha2_starts_func)(sha2_context* ctx, int is224);
    typedef void (*sha2_update_func)(sha2_context* ctx, const unsigned char* input,
                                     size_t ilen);
    typedef void (*sha2_finish_func)(sha2_context* ctx, unsigned char output[32]);
}

// Handle of the loaded library; null before init_aes_lib or when loading failed.
extern void* aeslib;
// Entry points; each null until found by init_aes_lib.
extern aes_setkey_func p_aes_setkey_enc;
extern aes_setkey_func p_aes_setkey_dec;
extern aes_crypt_cbc_func p_aes_crypt_cbc;
extern sha2_starts_func p_sha2_starts;
extern sha2_update_func p_sha2_update;
extern sha2_finish_func p_sha2_finish;

// Loads liblibaes.so.1.0.so.1 (RTLD_LAZY | RTLD_GLOBAL) and looks up the six
// entry points in the order above. Prints "Error loading
// liblibaes.so.1.0.so.1" when the library cannot be loaded, then still makes
// every lookup; prints "Can't find <name>" for each entry point the loader
// cannot resolve, whose pointer stays null. One line per message. Never
// unloads the library.
void init_aes_lib();

// True when the three AES entry points were found, so the record cipher can
// run. False before init_aes_lib.
bool AesLibIsUsable();

#endif
