// The default speakers' own mute, through Core Audio. From Windows Vista on, the legacy mixer's
// mute belongs to the player's own audio session, and the mute a user sets from the taskbar or
// a keyboard key is the default render endpoint's. Read by the mute condition on both threads,
// cleared by the filter on a manual start.
#include <objbase.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "engine/endpoint_mute.h"

#include "engine/audio_platform.h"
#include "engine/static_notices.h"
#include "engine/wake_signals.h"

SpeakerMuteWatch speakerMuteWatch;

// The volume object of the enumerator's default render device, or NULL.
static IAudioEndpointVolume *activateDefaultSpeakers(IMMDeviceEnumerator *enumerator)
{
    IMMDevice *device = NULL;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) || device == NULL)
        return NULL;
    IAudioEndpointVolume *speakers = NULL;
    HRESULT activated = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                         (void **)&speakers);
    device->Release();
    (void)audioServiceLostBy(activated, FALSE);
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

// --- the mute notices, on the watch thread ---------------------------------------------------

struct SpeakerNotices : StaticNotices<IAudioEndpointVolumeCallback> {
    HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override
    {
        // Dragging the volume sends a stream of notices: only a change of the mute wakes the loop.
        LONG muted = data != NULL && data->bMuted ? 1 : 0;
        if (InterlockedExchange(&speakerMuteWatch.lastMuteTold, muted) != muted)
            wakeWatchLoop();
        return S_OK;
    }
};

static const SpeakerNotices speakerNotices{};

void unwatchSpeakerMute(void)
{
    IAudioEndpointVolume *speakers = speakerMuteWatch.watchedSpeakers;
    if (speakers == NULL)
        return;
    if (FAILED(speakers->UnregisterControlChangeNotify(callbackOf(speakerNotices))))
        noteCallbacksMayCome();
    speakers->Release();
    speakerMuteWatch.watchedSpeakers = NULL;
}

// The registration follows the default output: a move the platform counted since it was made
// takes it to the new default.
void watchSpeakerMute(void)
{
    LONG moves = defaultOutputMoveCount();
    if (moves != speakerMuteWatch.defaultMovesSeen)
        unwatchSpeakerMute();
    IMMDeviceEnumerator *enumerator = keptDeviceEnumerator();
    if (enumerator == NULL || speakerMuteWatch.watchedSpeakers != NULL)
        return;
    speakerMuteWatch.defaultMovesSeen = moves;
    IAudioEndpointVolume *speakers = activateDefaultSpeakers(enumerator);
    if (speakers == NULL)
        return;
    speakerMuteWatch.lastMuteTold = -1;
    if (FAILED(speakers->RegisterControlChangeNotify(callbackOf(speakerNotices)))) {
        speakers->Release();
        return;
    }
    speakerMuteWatch.watchedSpeakers = speakers;
}

// A question that costs the service nothing: only whether the object is still served matters.
BOOL watchedSpeakersAnswer(void)
{
    IAudioEndpointVolume *speakers = speakerMuteWatch.watchedSpeakers;
    UINT channels = 0;
    return speakers == NULL || !audioServiceLostBy(speakers->GetChannelCount(&channels), TRUE);
}
