// The default speakers' own mute, through Core Audio. From Windows Vista on, the legacy mixer's
// mute belongs to the player's own audio session, and the mute a user sets from the taskbar or
// a keyboard key is the default render endpoint's. Read by the mute condition on both threads,
// cleared by the filter on a manual start.
#include <objbase.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "engine/endpoint_mute.h"

#include "engine/wake_signals.h"
#include "plugin/plugin.h"

// Decided by what the system has, not by the version it reports: a player run in a
// compatibility mode for XP is told 5.1 on a system that has Core Audio all the same. This
// export came with Core Audio, in Windows Vista.
BOOL systemHasCoreAudio(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel != NULL && GetProcAddress(kernel, "GetTickCount64") != NULL;
}

// A guest in the player's process: a thread with no apartment joins the multithreaded one for
// the call and leaves it again; an apartment the host set up is used as it is, never changed.
HRESULT enterComApartment(void)
{
    if (!pluginState.hasCoreAudio)
        return E_NOTIMPL;
    return CoInitializeEx(NULL, COINIT_MULTITHREADED);
}

void leaveComApartment(HRESULT entered)
{
    // S_FALSE counts too: every successful call is balanced by one CoUninitialize.
    if (SUCCEEDED(entered))
        CoUninitialize();
}

IMMDeviceEnumerator *createDeviceEnumerator(void)
{
    IMMDeviceEnumerator *enumerator = NULL;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), (void **)&enumerator)))
        return NULL;
    return enumerator;
}

IAudioEndpointVolume *activateDefaultSpeakers(IMMDeviceEnumerator *enumerator)
{
    IMMDevice *device = NULL;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) || device == NULL)
        return NULL;
    IAudioEndpointVolume *speakers = NULL;
    HRESULT activated = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                         (void **)&speakers);
    device->Release();
    return SUCCEEDED(activated) ? speakers : NULL;
}

// Looked up afresh at every use: the default device moves when the user plugs in headphones or
// picks another output, and no interface is kept that the other thread could touch.
static IAudioEndpointVolume *openDefaultSpeakers(void)
{
    IMMDeviceEnumerator *enumerator = borrowDeviceEnumerator();
    if (enumerator == NULL)
        return NULL;
    IAudioEndpointVolume *speakers = activateDefaultSpeakers(enumerator);
    enumerator->Release();
    return speakers;
}

static MuteReading readSpeakerMute(IAudioEndpointVolume *speakers)
{
    BOOL muted = FALSE;
    if (FAILED(speakers->GetMute(&muted)))
        return MUTE_UNKNOWN;
    return muted ? MUTE_SET : MUTE_CLEAR;
}

// No device or no audio service leaves nothing to mute: clear. Speakers that are there but
// will not tell may be muted, and a user's start tries to release them all the same.
MuteReading readEndpointMuteState(void)
{
    HRESULT apartment = enterComApartment();
    IAudioEndpointVolume *speakers = openDefaultSpeakers();
    MuteReading mute = MUTE_CLEAR;
    if (speakers != NULL) {
        mute = readSpeakerMute(speakers);
        speakers->Release();
    }
    leaveComApartment(apartment);
    return mute;
}

// What is not known to be muted does not hold the music.
LONG readEndpointMute(void)
{
    return readEndpointMuteState() == MUTE_SET ? 1 : 0;
}

BOOL writeEndpointMute(LONG value)
{
    HRESULT apartment = enterComApartment();
    IAudioEndpointVolume *speakers = openDefaultSpeakers();
    BOOL written = FALSE;
    if (speakers != NULL) {
        // Written unless it already reads as wanted: a mute that could not be read may be set.
        MuteReading wanted = value != 0 ? MUTE_SET : MUTE_CLEAR;
        written = readSpeakerMute(speakers) == wanted || SUCCEEDED(speakers->SetMute(value != 0, NULL));
        speakers->Release();
    }
    leaveComApartment(apartment);
    return written;
}
