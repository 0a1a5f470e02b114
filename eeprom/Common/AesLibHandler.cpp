// AesLibHandler: run-time binding of the crypto library.
#include "AesLibHandler.h"

#include <cstdio>

#include <dlfcn.h>

void* aeslib = nullptr;
aes_setkey_func p_aes_setkey_enc = nullptr;
aes_setkey_func p_aes_setkey_dec = nullptr;
aes_crypt_cbc_func p_aes_crypt_cbc = nullptr;
sha2_starts_func p_sha2_starts = nullptr;
sha2_update_func p_sha2_update = nullptr;
sha2_finish_func p_sha2_finish = nullptr;

// Looks up Name in the library and reports it when the loader has no symbol
// for it. The pending error is cleared first, so a failed dlopen (or an
// earlier lookup) is not mistaken for a failure of this lookup.
template <typename tFunc>
static void s_Lookup(tFunc& pFunc, const char* pName)
{
    (void) dlerror();
    pFunc = reinterpret_cast<tFunc>(dlsym(aeslib, pName));
    if (dlerror() != nullptr)
    {
        printf("Can't find %s\n", pName);
    }
}

void init_aes_lib()
{
    aeslib = dlopen("liblibaes.so.1.0.so.1", RTLD_LAZY | RTLD_GLOBAL);
    if (aeslib == nullptr)
    {
        printf("Error loading liblibaes.so.1.0.so.1\n");
    }
    s_Lookup(p_aes_setkey_enc, "aes_setkey_enc");
    s_Lookup(p_aes_setkey_dec, "aes_setkey_dec");
    s_Lookup(p_aes_crypt_cbc, "aes_crypt_cbc");
    s_Lookup(p_sha2_starts, "sha2_starts");
    s_Lookup(p_sha2_update, "sha2_update");
    s_Lookup(p_sha2_finish, "sha2_finish");
}

bool AesLibIsUsable()
{
    return p_aes_setkey_enc != nullptr && p_aes_setkey_dec != nullptr
        && p_aes_crypt_cbc != nullptr;
}
