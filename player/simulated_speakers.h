// Stand-in speakers and microphones for the Core Audio calls of one module: Wine keeps an
// endpoint's mute per object, so a system-wide speaker mute cannot be produced for real, and
// it has no headphones to unplug. The module's own CoCreateInstance import hands out a
// simulated device enumerator; every other caller in the process still gets the system's. Like Windows, it calls the
// notification clients and mute callbacks registered with it when something changes, as
// notice_threads.h delivers them. Its
// devices carry the simulated audio sessions (simulated_sessions.h).
#pragma once
#include <windows.h>
#include <wtypes.h>

enum SpeakerStep {
    SPEAKER_STEP_CREATE,          // CoCreateInstance of the device enumerator
    SPEAKER_STEP_DEFAULT_DEVICE,  // IMMDeviceEnumerator::GetDefaultAudioEndpoint
    SPEAKER_STEP_ACTIVATE,        // IMMDevice::Activate for IAudioEndpointVolume
    SPEAKER_STEP_GET_MUTE,
    SPEAKER_STEP_SET_MUTE,
    SPEAKER_STEP_DEVICE_NOTICES,  // IMMDeviceEnumerator::RegisterEndpointNotificationCallback
    SPEAKER_STEP_MUTE_NOTICES,    // IAudioEndpointVolume::RegisterControlChangeNotify
    SPEAKER_STEP_GET_DEVICE,      // IMMDeviceEnumerator::GetDevice
    SPEAKER_STEP_ENUMERATE,       // IMMDeviceEnumerator::EnumAudioEndpoints
    SPEAKER_STEP_CHANNEL_COUNT,   // IAudioEndpointVolume::GetChannelCount
    SPEAKER_STEP_COUNT,
};

// Every device of the table, render and capture alike, is known by its index.
enum {
    SPEAKER_DEVICE_COUNT = 12,
    SPEAKERS = 0,    // render
    HEADPHONES = 1,  // render
    MICROPHONE = 2,  // capture, the default one
    HEADSET = 3,     // capture, a headset's microphone: never the default
    // capture: a webcam's, a dock's, virtual ones; not present until plugged in
    FIRST_EXTRA_MICROPHONE = 4,
    NO_DEFAULT_SPEAKERS = -1,
    MAX_SPEAKER_LISTENERS = 8,
};

struct SimulatedSpeakers {
    volatile LONG muted[SPEAKER_DEVICE_COUNT];  // one mute per device, shared by all its objects
    volatile LONG state[SPEAKER_DEVICE_COUNT];  // DEVICE_STATE_ACTIVE, _UNPLUGGED or _NOTPRESENT
    volatile LONG defaultDevice;                // an index, or NO_DEFAULT_SPEAKERS
    volatile LONG defaultMicrophone;            // the default capture device, or NO_DEFAULT_SPEAKERS
    volatile LONG failing[SPEAKER_STEP_COUNT];  // nonzero: that step fails
    volatile LONG calls[SPEAKER_STEP_COUNT];
    volatile LONG liveObjects;  // enumerators, devices and volume objects not yet released
    volatile LONG passThrough;  // nonzero: the module gets the system's own enumerator
    volatile LONG silent;       // nonzero: changes call nobody back, as with a stub
    volatile LONG deviceClients;  // notification clients registered now
    volatile LONG muteCallbacks;  // mute callbacks registered now
    volatile LONG muteUnregistrationRefused;  // the callback stays registered and may still be called
    volatile LONG captureListings;  // EnumAudioEndpoints asked for capture devices
    // The audio service (Audiosrv) stopped: see stopAudioService.
    volatile LONG serviceStopped;
    volatile LONG serviceStops;  // an object made before the latest stop is dead for good
    DWORD serviceStartedAt;      // GetTickCount when it last started again
    // Called by stopAudioService between the shutdown's notices and the failing of its objects:
    // a service going down tells it, and may still answer for a moment after.
    void (*volatile whileGoingDown)(void);
};
extern SimulatedSpeakers simulatedSpeakers;

// FALSE when the module does not import CoCreateInstance.
BOOL interceptSpeakers(HMODULE module);
// Four active, unmuted devices (the extra microphones not present), the speakers and the microphone the defaults, no failures,
// nobody registered; the counts start again.
void resetSimulatedSpeakers(void);
void setSpeakersMuted(BOOL muted);  // the default device's mute
BOOL speakersMuted(void);
const wchar_t *speakerDeviceId(LONG device);
// As Windows does it: the state changes, the default moves, and the clients are told.
void plugInHeadphones(void);   // they become the default
void unplugHeadphones(void);   // the speakers become the default
void chooseDefaultDevice(LONG device);  // the user picks another output; both stay active
// The user picks another microphone: the clients hear of each role, for capture.
void chooseDefaultMicrophone(LONG device);
// A property of the device changed, as a driver's jack change shows it: the clients are told.
void tellPropertyValueChanged(LONG device, const PROPERTYKEY &key);
// The first count extra microphones become active, the others not present; the clients are told
// of each that changed.
void plugInExtraMicrophones(LONG count);
BOOL headphonesUnplugged(void);
// Forgets the mute callbacks still registered, as the end of their process would.
void dropMuteCallbacks(void);
// The headset's microphone comes and goes; the default microphone stays where it is.
void plugInHeadset(void);
void unplugHeadset(void);
// Any device comes or goes, the default output moving to newDefault (an index, or
// NO_DEFAULT_SPEAKERS), and the clients are told.
void setDevicePresent(LONG device, BOOL present, LONG newDefault);

// The audio service stops, as a driver update, a crash or a resume from hibernation stop it:
// every session watched hears DisconnectReasonServerShutdown, then every volume object and
// session object made before answers AUDCLNT_E_SERVICE_NOT_RUNNING, nobody registered through
// one is called again, and new ones cannot be made. The device enumerator, its devices and
// notices, and the jacks are served by the endpoint builder and the driver: they go on.
void stopAudioService(void);
// Started again: the objects made before the stop answer AUDCLNT_E_DEVICE_INVALIDATED for good;
// new ones work, and no device sends new-session notices until its session list has been read.
// The sessions are still there, as the programs that own them open their streams again.
void startAudioService(void);
// What an object made while stops counted madeAfterStops answers now: S_OK while it lives.
HRESULT audioServiceAnswer(LONG madeAfterStops);
inline BOOL audioServiceServes(LONG madeAfterStops) { return audioServiceAnswer(madeAfterStops) == S_OK; }
