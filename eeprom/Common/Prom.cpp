// Prom: the identity record, its page transfer to the chip, and its cipher.
#include "Prom.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "AesLibHandler.h"
#include "NetworkUtils.h"
#include "PromContract.h"

cProm* pProm = nullptr;

namespace
{
const uint16_t PromStartAddr = 0;
// Acknowledge polling sets the address pointer to 0x0FFE, inside the record's
// last page, and programs nothing.
const uint16_t PollAddress = 0x0FFE;
// The datasheet allows 5 ms a write cycle; give up on a page after 20 ms.
const uint32_t WriteTimeoutMs = 20;
const useconds_t PollPauseUs = 1000;

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

cProm::cProm(ChipOnly_s)
    : cI2cDevice(PromI2cAddress, PromI2cBus, "EEPROM"),
      WriteTimer(WriteTimeoutMs),
      Written(false),
      WriteNeeded(false)
{
    // Before the first successful read the image is all zero bytes, whose
    // decryption cannot carry this unit's MAC address.
    memset(&leeprom, 0, sizeof(leeprom));
    VerifiedImage = leeprom;
}

cProm::cProm() : cProm(ChipOnly_s())
{
    init_aes_lib();
    if (!AesLibIsUsable())
    {
        printf("%s", PromErrorTag);
        printf("No usable AES cipher: the record is treated as not valid and is never written.\n");
    }
    Decrypt(ReadPromAtStart(leeprom.b));
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

    // Read the chip back and keep only what it verifiably holds.
    if (ReadProm(ReadBackBuf))
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
    // One combined transfer: the two address bytes, then all 4096 bytes.
    return ReadRegs16(PromStartAddr, pRdBuf, PromSizeBytes, true);
}

bool cProm::ReadPromAtStart(uint8_t* pRdBuf)
{
    // A chip still finishing a write cycle (its previous owner stopped in the
    // middle of a rename and was restarted at once) acknowledges nothing for
    // up to one cycle. Try quietly; on failure wait for the chip to answer an
    // untracked one-byte probe (which leaves the health record alone), for at
    // most the write-cycle limit, then make the one reported read. A chip
    // that answers the probe is out of its write cycle, so a read that fails
    // then is a fault of its own: retrying it would pile up tracked errors,
    // declare the chip dead and so silence the report of its cause. Only two
    // tracked reads are made. A device that is not operational gets no
    // transfer.
    WriteTimer.Restart();
    if (!ReadRegs16(PromStartAddr, pRdBuf, PromSizeBytes, false))
    {
        return false;
    }
    while (DeviceIsOk() && !WriteTimer.HasTimedOut())
    {
        usleep(PollPauseUs);
        uint8_t Probe = 0;
        if (!Read(&Probe, 1, false))
        {
            break;
        }
    }
    return ReadProm(pRdBuf);
}

void cProm::WriteProm(uint8_t* pWrBuf)
{
    uint8_t page_buf[2 + PromPageSizeBytes] = {};
    for (int page_index = 0; page_index < PromNumPages; page_index++)
    {
        // Address bytes (high first) and the page's 32 bytes in one message.
        uint16_t PageAddress = static_cast<uint16_t>(page_index * PromPageSizeBytes);
        page_buf[0] = static_cast<uint8_t>(PageAddress >> 8);
        page_buf[1] = static_cast<uint8_t>(PageAddress & 0xFF);
        memcpy(&page_buf[2], &pWrBuf[PageAddress], PromPageSizeBytes);

        // The page is judged by the poll alone: a failed write shows as a
        // chip that never acknowledges (and is printed by the device layer).
        Write(page_buf, sizeof(page_buf), true);
        if (!PollWriteFinished())
        {
            printf("%s", PromErrorTag);
            printf("Timed out while writing page %d.\n", page_index);
        }
    }
}

bool cProm::PollWriteFinished()
{
    uint8_t PollBuf[2] = {static_cast<uint8_t>(PollAddress >> 8),
                          static_cast<uint8_t>(PollAddress & 0xFF)};
    WriteTimer.Restart();
    // The chip ignores its address until the write cycle ends. Only the time
    // limit ends the loop: a dead device fails every poll at once, so a
    // count limit would give up in microseconds instead of 20 ms. The clock
    // is read before each poll, so the poll that follows a pause is always
    // made: a pause that overran the limit on a busy machine cannot turn a
    // chip that finished meanwhile into a time-out.
    while (true)
    {
        bool TimedOut = WriteTimer.HasTimedOut();
        if (!Write(PollBuf, sizeof(PollBuf), false))
        {
            return true;
        }
        if (TimedOut)
        {
            return false;
        }
        usleep(PollPauseUs);
    }
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
