// Prom: the identity record, moved to and from the chip, and its cipher.
#include "Prom.h"

#include <cstdio>
#include <cstring>

#include "AesLibHandler.h"
#include "NetworkUtils.h"
#include "PromChipIo.h"
#include "PromContract.h"

cProm* pProm = nullptr;

namespace
{
const size_t UnitNameBytes = sizeof(eeprom_s::unit_name);
const size_t MaxStoredNameBytes = UnitNameBytes - 1;

// Cipher output, copied back over the input. In static storage so the
// 4 KiB stay off the stack; this makes the cipher non-re-entrant.
uint8_t cryptbuf[PromSizeBytes];
// What the chip returned after a write, checked against what was sent.
uint8_t ReadBackBuf[PromSizeBytes];

bool IsUtf8Continuation(uint8_t Byte)
{
    return (Byte & 0xC0) == 0x80;
}
}

// Key "Tq8rNbLw3KsZe" padded with zero bytes; IV "hR4mWc9JxVt2PqLd".
const uint8_t cProm::PtKey[17] = {'T', 'q', '8', 'r', 'N', 'b', 'L', 'w', '3', 'K', 's', 'Z', 'e',
                                  0, 0, 0, 0};
const uint8_t cProm::InitVector[17] = "hR4mWc9JxVt2PqLd";

cProm::cProm()
    : cI2cDevice(PromI2cAddress, PromI2cBus, "EEPROM"),
      WriteTimer(PromWriteTimeoutMs),
      Written(false),
      WriteNeeded(false)
{
    // Before the first successful read the image is all zero bytes, whose
    // decryption cannot carry this unit's MAC address.
    memset(&leeprom, 0, sizeof(leeprom));
    VerifiedImage = leeprom;
    init_aes_lib();
    if (!AesLibIsUsable())
    {
        printf("%s", PromErrorTag);
        printf("No usable AES cipher: the record is treated as not valid and is never written.\n");
    }
    // The chip may still be in the write cycle of a writer that stopped.
    Decrypt(PromChipReadAtStart(*this, WriteTimer, leeprom.b));
    // Even a failed first read leaves the reference the image falls back to.
    VerifiedImage = leeprom;
}

void CreateProm()
{
    pProm = new cProm();
}

void DestroyProm()
{
    delete pProm;
    pProm = nullptr;
}

bool cProm::HasValidData()
{
    // A record that could not be decrypted is not judged at all.
    if (!AesLibIsUsable())
    {
        return false;
    }
    // A MAC address that could not be read (no eth0) matches nothing, not
    // even a record that stores six zero bytes. The read reports itself.
    uint8_t MacBytes[6] = {};
    if (GetMacBytesFromIoctl(MacBytes))
    {
        return false;
    }
    return 0 == memcmp(leeprom.s.mac, MacBytes, sizeof(MacBytes));
}

bool cProm::HasChanged()
{
    bool WasWritten = Written;
    Written = false;
    return WasWritten;
}

bool cProm::WriteRequired()
{
    return WriteNeeded;
}

void cProm::GetSerialNumber(char* pSn)
{
    memcpy(pSn, leeprom.s.sn, sizeof(leeprom.s.sn));
    pSn[sizeof(leeprom.s.sn)] = '\0';
}

void cProm::GetUnitName(char* pName)
{
    strncpy(pName, reinterpret_cast<const char*>(leeprom.s.unit_name), UnitNameBytes);
    pName[UnitNameBytes] = '\0';
}

void cProm::CutUnitName(const char* pName, uint8_t* pStored)
{
    size_t Length = strnlen(pName, UnitNameBytes);
    if (Length > MaxStoredNameBytes)
    {
        // Cut at 15 bytes, then back off to the start of a character that
        // the cut would split (at most three continuation bytes), so the
        // stored name stays valid UTF-8 when the request was.
        Length = MaxStoredNameBytes;
        for (int Backoff = 0; Backoff < 3 && Length > 0; Backoff++)
        {
            if (!IsUtf8Continuation(static_cast<uint8_t>(pName[Length])))
            {
                break;
            }
            Length--;
        }
        if (IsUtf8Continuation(static_cast<uint8_t>(pName[Length])))
        {
            Length = MaxStoredNameBytes;    // not UTF-8 at all: plain byte cut
        }
    }
    memset(pStored, 0, UnitNameBytes);
    memcpy(pStored, pName, Length);
}

void cProm::SetUnitName(const char* pName)
{
    if (nullptr == pName)
    {
        return;
    }
    CutUnitName(pName, leeprom.s.unit_name);
    WriteNeeded = true;
}

bool cProm::RenameUnit(const char* pName)
{
    if (nullptr == pName)
    {
        return false;
    }
    uint8_t Requested[UnitNameBytes];
    CutUnitName(pName, Requested);
    // As strings: what follows a NUL in the stored field is no part of the name.
    if (0 == strncmp(reinterpret_cast<const char*>(Requested), reinterpret_cast<const char*>(leeprom.s.unit_name),
                     UnitNameBytes))
    {
        return false;
    }
    memcpy(leeprom.s.unit_name, Requested, UnitNameBytes);
    WriteNeeded = true;
    return true;
}

void cProm::DecryptRead()
{
    Decrypt(ReadProm(leeprom.b));
}

void cProm::Decrypt(bool ReadFailed)
{
    EncryptOrDecrypt(leeprom.b, 0);
    WriteNeeded = false;
    if (!ReadFailed)
    {
        VerifiedImage = leeprom;
    }
}

void cProm::EncryptWrite()
{
    if (!AesLibIsUsable())
    {
        // Writing an unencrypted image would destroy the stored record.
        printf("%s", PromErrorTag);
        printf("No usable AES cipher: the record was not written.\n");
        return;
    }
    EncryptOrDecrypt(leeprom.b, 1);
    WriteProm(leeprom.b);
    WriteNeeded = false;
    Written = true;

    // Read the chip back (once more if it missed the read: a failed read
    // says nothing of what it holds) and keep only what it verifiably holds.
    if (ReadProm(ReadBackBuf) && ReadProm(ReadBackBuf))
    {
        printf("%s", PromErrorTag);
        printf("Could not read the record back; keeping the record the chip last held.\n");
        leeprom = VerifiedImage;
        return;
    }
    if (0 != memcmp(ReadBackBuf, leeprom.b, sizeof(ReadBackBuf)))
    {
        printf("%s", PromErrorTag);
        printf("The chip did not take the record; keeping what it holds.\n");
        memcpy(leeprom.b, ReadBackBuf, sizeof(ReadBackBuf));
    }
    EncryptOrDecrypt(leeprom.b, 0);
    VerifiedImage = leeprom;
}

void cProm::Erase()
{
    memset(leeprom.b, 0xFF, sizeof(leeprom.b));
    WriteProm(leeprom.b);
    ReadProm(leeprom.b);
    Written = true;
}

bool cProm::ReadProm(uint8_t* pRdBuf)
{
    return PromChipRead(*this, pRdBuf);
}

void cProm::WriteProm(uint8_t* pWrBuf)
{
    for (int page_index = 0; page_index < PromNumPages; page_index++)
    {
        uint16_t PageAddress = static_cast<uint16_t>(page_index * PromPageSizeBytes);
        PromChipSend(*this, PageAddress, &pWrBuf[PageAddress], PromPageSizeBytes);
        if (!PollWriteFinished())
        {
            printf("%s", PromErrorTag);
            printf("Timed out while writing page %d.\n", page_index);
        }
    }
}

bool cProm::PollWriteFinished()
{
    return !PromChipWaitReady(*this, WriteTimer);
}

void cProm::Cipher(uint8_t* pImage, int Mode)
{
    EncryptOrDecrypt(pImage, Mode);
}

void cProm::EncryptOrDecrypt(uint8_t* buf, int mode)
{
    if (!AesLibIsUsable())
    {
        return;
    }
    // Fresh copies on every call: the library may overwrite the IV with the
    // last chaining value.
    uint8_t IV[16];
    uint8_t key[16];
    aes_context keygen_ctx;
    memcpy(IV, InitVector, sizeof(IV));
    memcpy(key, PtKey, sizeof(key));
    if (1 == mode)
    {
        p_aes_setkey_enc(&keygen_ctx, key, 128);
    }
    else
    {
        p_aes_setkey_dec(&keygen_ctx, key, 128);
        mode = 0;
    }
    p_aes_crypt_cbc(&keygen_ctx, mode, PromSizeBytes, IV, buf, cryptbuf);
    memcpy(buf, cryptbuf, PromSizeBytes);
}
