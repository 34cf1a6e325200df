// Stand-in speakers for the Core Audio calls of one module: Wine keeps an endpoint's mute per
// object, so a system-wide speaker mute cannot be produced for real. The module's own
// CoCreateInstance import hands out a simulated device enumerator; every other caller in the
// process still gets the system's.
#pragma once
#include <windows.h>

enum SpeakerStep {
    SPEAKER_STEP_CREATE,          // CoCreateInstance of the device enumerator
    SPEAKER_STEP_DEFAULT_DEVICE,  // IMMDeviceEnumerator::GetDefaultAudioEndpoint
    SPEAKER_STEP_ACTIVATE,        // IMMDevice::Activate for IAudioEndpointVolume
    SPEAKER_STEP_GET_MUTE,
    SPEAKER_STEP_SET_MUTE,
    SPEAKER_STEP_COUNT,
};

enum { SPEAKER_DEVICE_COUNT = 2, NO_DEFAULT_SPEAKERS = -1 };

struct SimulatedSpeakers {
    volatile LONG muted[SPEAKER_DEVICE_COUNT];  // one mute per device, shared by all its objects
    volatile LONG defaultDevice;                // an index, or NO_DEFAULT_SPEAKERS
    volatile LONG failing[SPEAKER_STEP_COUNT];  // nonzero: that step fails
    volatile LONG calls[SPEAKER_STEP_COUNT];
    volatile LONG liveObjects;  // enumerators, devices and volume objects not yet released
    volatile LONG passThrough;  // nonzero: the module gets the system's own enumerator
};
extern SimulatedSpeakers simulatedSpeakers;

// FALSE when the module does not import CoCreateInstance.
BOOL interceptSpeakers(HMODULE module);
// Two unmuted devices, the first the default, no failures; the counts start again.
void resetSimulatedSpeakers(void);
void setSpeakersMuted(BOOL muted);  // the default device's mute
BOOL speakersMuted(void);
