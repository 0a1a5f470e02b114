// PromServiceProbe: waits for the first identity message and the first
// heartbeat of eeprom-manager, whichever comes first, until both came or the
// time-out ran out.
#include "PromServiceProbe.h"

#include <cstring>

#include <czmq.h>
#include <jansson.h>

#include "PromContract.h"

IdentityText_s ReadIdentity(const std::string& Text)
{
    IdentityText_s Read;
    json_error_t Error;
    // The whole text: one with a NUL in it is no JSON text.
    json_t* pjtIdentity = json_loadb(Text.data(), Text.size(), 0, &Error);
    const char* pSerial = json_string_value(json_object_get(pjtIdentity, SerialNumberKey));
    const char* pName = json_string_value(json_object_get(pjtIdentity, UnitNameKey));
    Read.HasSerial = pSerial != nullptr;
    Read.SaysInvalid = Read.HasSerial && 0 == strcmp(pSerial, InvalidSerialNumber);
    Read.HasName = pName != nullptr;
    Read.Name = Read.HasName ? pName : "";
    json_decref(pjtIdentity);
    return Read;
}

bool ProbeService(const ClientOptions_s& Options, const char* pWhatThen, ServiceProbe_s* pProbe)
{
    Listeners_s Listeners;
    if (OpenListeners(Options, pWhatThen, &Listeners))
    {
        return true;
    }
    zsock_t* pBeats = Listeners.Beats.pSock;
    pProbe->BeatsChecked = pBeats != nullptr;
    int64_t Deadline = zclock_mono() + Options.TimeoutMs();
    while (!(pProbe->SawIdentity && (pProbe->SawBeat || pBeats == nullptr)))
    {
        zsock_t* pReady = static_cast<zsock_t*>(zpoller_wait(Listeners.pPoller, RemainingMs(Deadline)));
        zmsg_t* pMessage = pReady != nullptr ? zmsg_recv(pReady) : nullptr;
        if (pMessage == nullptr)
        {
            break;
        }
        if (pReady == Listeners.pIdentity && !pProbe->SawIdentity)
        {
            pProbe->Identity = FrameText(pMessage, 1);
            pProbe->SawIdentity = true;
        }
        else if (pReady == pBeats && FrameText(pMessage, 1) == HbProcessName)
        {
            // Other services' heartbeats may come here as well.
            pProbe->SawBeat = true;
        }
        zmsg_destroy(&pMessage);
    }
    pProbe->Interrupted = zsys_interrupted;
    CloseListeners(&Listeners);
    return false;
}
