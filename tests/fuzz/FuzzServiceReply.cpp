// Fuzzes what promtool's client commands decode from the wire. The input is
// a message of the service (frames split at each 0xFF byte), printed as
// watch prints it (text and JSON), its second frame read and shown as an
// identity as status, doctor and set-name do. Whatever it holds, what
// reaches the terminal is valid UTF-8 without a control character, DEL or C1
// control, one line a message for watch; an identity with a serial number
// is a JSON object. Each seed is an identity with a serial number or the
// service's heartbeat.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "FuzzMessage.h"
#include "FuzzSeeds.h"
#include "HeartBeater.h"
#include "PromClientListen.h"
#include "PromContract.h"
#include "PromEndpoints.h"
#include "PromOutput.h"
#include "PromServiceProbe.h"

static int Output = -1;     // standard output, to check what was printed

// Valid UTF-8 without control characters (but Lines line ends), DEL or C1 controls.
static bool Printable(const std::string& Text, size_t Lines)
{
    for (size_t i = 0; i < Text.size(); i++)
    {
        uint8_t Byte = static_cast<uint8_t>(Text[i]);
        uint8_t Next = static_cast<uint8_t>(i + 1 < Text.size() ? Text[i + 1] : 0);
        Lines -= Byte == '\n' ? 1 : 0;
        if ((Byte < 0x20 && Byte != '\n') || Byte == 0x7F || (Byte == 0xC2 && Next >= 0x80 && Next <= 0x9F))
        {
            return false;
        }
    }
    return 0 == Lines && Utf8IsValid(Text.data(), Text.size());
}

// What was printed since the last call.
static std::string Printed()
{
    fflush(stdout);
    std::string Text(static_cast<size_t>(std::max<off_t>(0, lseek(Output, 0, SEEK_CUR))), '\0');
    Text.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(Output, &Text[0], Text.size(), 0))));
    if (0 != ftruncate(Output, 0) || 0 != lseek(Output, 0, SEEK_SET))
    {
        abort();
    }
    return Text;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return (Output = memfd_create("stdout", 0)) < 0 || dup2(Output, STDOUT_FILENO) < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    zmsg_t* pMessage = FuzzFrames(pData, Size);
    std::string Topic = FrameText(pMessage, 0);
    std::string Body = FrameText(pMessage, 1);
    PrintStampedMessage(pMessage, false);
    PrintStampedMessage(pMessage, true);
    std::string Watched = Printed();
    PrintJson(json_pack("{s:o}", "identity", WireJson(Body)));
    std::string Json = Printed();
    IdentityText_s Read = ReadIdentity(Body);
    json_t* pjtBody = WireJson(Body);
    if (!Printable(Watched, 2) || !Printable(Json, std::count(Json.begin(), Json.end(), '\n'))
        || !Printable(WireText(Body), 0) || nullptr == pjtBody
        || (Read.HasSerial && nullptr == json_string_value(json_object_get(pjtBody, SerialNumberKey))))
    {
        abort();
    }
    json_decref(pjtBody);
    zmsg_destroy(&pMessage);
    SeedReached(Read.HasSerial || (Topic == HbTopic && Body == HbProcessName), Size,
                "the identity reader: no serial number, and no heartbeat");
    return 0;
}
