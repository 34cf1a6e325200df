// The default render endpoint's mute through Core Audio, with the COM apartment and the
// enumerator every Core Audio user of the engine starts from. Used where the system has Core
// Audio; elsewhere no COM call is ever made. Every call is complete in itself: no interface
// outlives it.
#pragma once
#include <windows.h>

struct IMMDeviceEnumerator;
struct IAudioEndpointVolume;

BOOL systemHasCoreAudio(void);  // looked up once by init into pluginState.hasCoreAudio
enum MuteReading { MUTE_CLEAR, MUTE_SET, MUTE_UNKNOWN };
// No device reads as clear; a device whose mute cannot be read, as unknown.
MuteReading readEndpointMuteState(void);
LONG readEndpointMute(void);
BOOL writeEndpointMute(LONG value);
// E_NOTIMPL without Core Audio; whatever it returns is handed back to leaveComApartment.
HRESULT enterComApartment(void);
void leaveComApartment(HRESULT entered);
IMMDeviceEnumerator *createDeviceEnumerator(void);
// The volume object of the enumerator's default render device, or NULL.
IAudioEndpointVolume *activateDefaultSpeakers(IMMDeviceEnumerator *enumerator);
