// PromImage: chip images of the identity EEPROM, on the host.
//
// A chip image is the 4096 bytes the EEPROM holds: the record encrypted with
// the record cipher. These commands use the record layout and the cipher of
// eeprom/Common (through cPromImage) and the same crypto library as the
// service, so an image made here is exactly what the service reads.
#ifndef TOOLS_PROMIMAGE_H
#define TOOLS_PROMIMAGE_H

#include <cstdint>
#include <string>

#include "PromRecord.h"

// The record cipher, without a chip.
class cPromImage
{
public:
    // Binds the crypto library; returns true on failure (reported on stderr).
    static bool BindCipher();
    // Encrypts or decrypts 4096 bytes in place.
    static void Encrypt(uint8_t* pImage);
    static void Decrypt(uint8_t* pImage);
};

// The SHA-256 of a chip image (4096 bytes), in lower-case hex: the same for
// the image file and for a chip that holds it.
std::string ImageSha256(const uint8_t* pImage);

// Decrypts the chip image pStored and shows the record as ShowRecord does,
// with a warning when it is what a chip write cut short leaves. Returns
// ShowRecord's status.
int ShowStoredImage(const uint8_t* pStored, const Judge_s& Judge, const ShowFormat_s& Format);

// promtool image create|show ...; argv[0] is "image" (image batch is
// PromBatchCommand, which the command line picks before this).
// Returns the process exit status.
int PromImageCommand(int argc, char* argv[]);

#endif
