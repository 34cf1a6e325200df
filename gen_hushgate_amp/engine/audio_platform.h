// The Core Audio floor every audio watcher borrows: whether the system has Core Audio, the COM
// apartment, the watch thread's one device enumerator and its device notices, which only count
// what changed and wake the loop. Calls no condition; each room above keeps the count it saw.
#pragma once
#include <windows.h>

#include <audiopolicy.h>

#include "engine/wake_signals.h"

struct IMMDeviceEnumerator;

struct AudioPlatform {
    // The watch thread's own, kept for its whole life; the enumerator serves its polls too.
    IMMDeviceEnumerator *deviceEnumerator;
    volatile DWORD enumeratorThread;
    BOOL deviceNoticesRegistered;
    // Counted by the device notification client on the platform's threads.
    volatile LONG endpointChanges;     // a render or capture endpoint came, went or changed state
    volatile LONG defaultOutputMoves;  // the default render device for the console moved
    // Some drivers tell a jack plugged or pulled only as a property change of the endpoint:
    // such notices wake the loop only while an output's jacks are followed.
    volatile LONG propertyNoticesWake;
    // Raised on either thread where a call answered that the audio service stopped or came back
    // (every object made before then stays dead); taken by the watch's rebuild.
    volatile LONG serviceLost;
    // Counted by the sessions the service's shutdown cuts off: it tells them as it goes, and may
    // still answer for a moment after.
    volatile LONG shutdownsTold;
};
extern AudioPlatform audioPlatform;

BOOL systemHasCoreAudio(void);  // looked up once by init into pluginState.hasCoreAudio
// E_NOTIMPL without Core Audio; whatever it returns is handed back to leaveComApartment.
HRESULT enterComApartment(void);
void leaveComApartment(HRESULT entered);
IMMDeviceEnumerator *createDeviceEnumerator(void);
// The watch thread's own enumerator, with a reference for the caller, when called on that
// thread; a new one on any other. Released by the caller either way.
IMMDeviceEnumerator *borrowDeviceEnumerator(void);
// The watch thread's registrations are made on its own enumerator alone, never on a new one:
// NULL while it has none. No reference is added.
inline IMMDeviceEnumerator *keptDeviceEnumerator(void) { return audioPlatform.deviceEnumerator; }

// The watch thread's part: made at its start (and tried again between polls while it did not
// hold), undone at its end.
void attachDeviceNotices(void);
void detachDeviceNotices(void);
inline BOOL deviceNoticesHold(void) { return audioPlatform.deviceNoticesRegistered; }
inline LONG endpointChangeCount(void) { return audioPlatform.endpointChanges; }
inline LONG defaultOutputMoveCount(void) { return audioPlatform.defaultOutputMoves; }
// One aligned word, read by the notices' threads as it stands.
inline void followPropertyNotices(BOOL follow) { audioPlatform.propertyNoticesWake = follow; }

// The audio service stopping (a driver update, a crash, a resume from hibernation) leaves every
// object made before answering AUDCLNT_E_SERVICE_NOT_RUNNING, and AUDCLNT_E_DEVICE_INVALIDATED
// once it is back; nothing new can be made meanwhile. TRUE, and the watch asked to build itself
// again, for the first code from any call, and for either from an object held since the watch
// was built (a new object's AUDCLNT_E_DEVICE_INVALIDATED is its endpoint's, not ready yet).
BOOL audioServiceLostBy(HRESULT result, BOOL fromHeldObject);
inline BOOL audioServiceAway(void) { return audioPlatform.serviceLost != 0; }
// A session cut off, the player's or another program's, by the service's shutdown: counted for
// the watch to ask its held objects until they fail; any other cut-off is the session's alone.
// The session's own notice wakes the loop.
inline void noteSessionCutOff(AudioSessionDisconnectReason reason)
{
    if (reason == DisconnectReasonServerShutdown)
        InterlockedIncrement(&audioPlatform.shutdownsTold);
}
inline LONG audioShutdownsTold(void) { return audioPlatform.shutdownsTold; }
// The watch's rebuild: takes the loss before it builds, and afterwards counts every endpoint as
// changed, for each room to look afresh at the next poll.
inline void takeAudioServiceLoss(void) { InterlockedExchange(&audioPlatform.serviceLost, 0); }
inline void noteAudioWatchRebuilt(void) { InterlockedIncrement(&audioPlatform.endpointChanges); }
