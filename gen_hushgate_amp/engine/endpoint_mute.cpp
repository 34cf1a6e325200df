// The default speakers' own mute, through Core Audio. From Windows Vista on, the legacy mixer's
// mute belongs to the player's own audio session, and the mute a user sets from the taskbar or
// a keyboard key is the default render endpoint's. Read by the mute condition on both threads,
// cleared by the filter on a manual start.
#include <objbase.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "engine/engine.h"
#include "plugin/plugin.h"

static const DWORD CORE_AUDIO_FROM_VERSION = 6;

BOOL endpointMuteApplies(void)
{
    return pluginState.osMajorVersion >= CORE_AUDIO_FROM_VERSION;
}

// A guest in the player's process: a thread with no apartment joins the multithreaded one for
// the call and leaves it again; an apartment the host set up is used as it is, never changed.
HRESULT enterComApartment(void)
{
    if (!endpointMuteApplies())
        return E_NOTIMPL;
    return CoInitializeEx(NULL, COINIT_MULTITHREADED);
}

void leaveComApartment(HRESULT entered)
{
    // S_FALSE counts too: every successful call is balanced by one CoUninitialize.
    if (SUCCEEDED(entered))
        CoUninitialize();
}

// Looked up afresh at every use: the default device moves when the user plugs in headphones or
// picks another output, and no interface is kept that the other thread could touch.
static IAudioEndpointVolume *openDefaultSpeakers(void)
{
    IMMDeviceEnumerator *enumerator = NULL;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), (void **)&enumerator)) ||
        enumerator == NULL)
        return NULL;
    IMMDevice *device = NULL;
    HRESULT found = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    enumerator->Release();
    if (FAILED(found) || device == NULL)
        return NULL;
    IAudioEndpointVolume *speakers = NULL;
    HRESULT activated = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                         (void **)&speakers);
    device->Release();
    if (FAILED(activated))
        return NULL;
    return speakers;
}

// No device, no audio service or any failure on the way reads as not muted.
static BOOL readSpeakerMute(IAudioEndpointVolume *speakers)
{
    BOOL muted = FALSE;
    if (FAILED(speakers->GetMute(&muted)))
        return FALSE;
    return muted != FALSE;
}

LONG readEndpointMute(void)
{
    HRESULT apartment = enterComApartment();
    IAudioEndpointVolume *speakers = openDefaultSpeakers();
    BOOL muted = FALSE;
    if (speakers != NULL) {
        muted = readSpeakerMute(speakers);
        speakers->Release();
    }
    leaveComApartment(apartment);
    return muted ? 1 : 0;
}

BOOL writeEndpointMute(LONG value)
{
    HRESULT apartment = enterComApartment();
    IAudioEndpointVolume *speakers = openDefaultSpeakers();
    BOOL written = FALSE;
    if (speakers != NULL) {
        BOOL wanted = value != 0;
        written = readSpeakerMute(speakers) == wanted || SUCCEEDED(speakers->SetMute(wanted, NULL));
        speakers->Release();
    }
    leaveComApartment(apartment);
    return written;
}
