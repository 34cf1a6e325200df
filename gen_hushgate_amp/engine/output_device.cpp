// Pauses once when the render device the music plays on goes away (headphones unplugged, a
// USB or Bluetooth headset dropped): Windows then moves the sound to the next device, and the
// music would go on from the laptop's speakers. The pause is the user's to undo, and so is a
// pause of the plug-in's own whose output went away before it ended. Asked by the poll; the
// notices only count what changed, and the poll looks the output up again when they did.
#include <objbase.h>

#include <mmdeviceapi.h>

#include "engine/output_device.h"

#include "engine/audio_platform.h"
#include "engine/output_jacks.h"
#include "engine/player_sessions.h"
#include "engine/settings_in_force.h"
#include "plugin/plugin.h"

OutputDevice outputDevice;

void forgetOutputDevice(void)
{
    outputDevice.playedOn[0] = L'\0';
    outputDevice.source = OUTPUT_NOT_LOOKED_UP;
    forgetOutputJacks();
}

enum DefaultOutput { OUTPUT_READ, OUTPUT_NONE, OUTPUT_UNKNOWN };

// Only E_NOTFOUND says there is no default render device; any other failure tells nothing.
static DefaultOutput readDefaultOutput(IMMDeviceEnumerator *enumerator, WCHAR (&id)[DEVICE_ID_CAPACITY])
{
    id[0] = L'\0';
    IMMDevice *device = NULL;
    HRESULT found = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    if (found == E_NOTFOUND)
        return OUTPUT_NONE;
    if (FAILED(found) || device == NULL)
        return OUTPUT_UNKNOWN;
    DefaultOutput result = readDeviceId(device, id) ? OUTPUT_READ : OUTPUT_UNKNOWN;
    device->Release();
    return result;
}

enum DeviceStanding { DEVICE_PRESENT, DEVICE_GONE, DEVICE_UNKNOWN };

// Gone means unplugged, disabled, not present or removed; a failure to tell says nothing.
static DeviceStanding deviceStanding(IMMDeviceEnumerator *enumerator, const WCHAR *id)
{
    IMMDevice *device = NULL;
    HRESULT found = enumerator->GetDevice(id, &device);
    if (found == E_NOTFOUND)
        return DEVICE_GONE;
    if (FAILED(found) || device == NULL)
        return DEVICE_UNKNOWN;
    DWORD state = DEVICE_STATE_ACTIVE;
    DeviceStanding standing = DEVICE_UNKNOWN;
    if (SUCCEEDED(device->GetState(&state)))
        standing = state == DEVICE_STATE_ACTIVE ? DEVICE_PRESENT : DEVICE_GONE;
    device->Release();
    return standing;
}

// Headphones pulled from an output that stays are as gone as a device unplugged.
static BOOL goneOrPulled(IMMDeviceEnumerator *enumerator, DeviceStanding standing)
{
    return standing == DEVICE_GONE ||
           (standing == DEVICE_PRESENT && outputJackPulled(enumerator, outputDevice.playedOn));
}

static void rememberOutput(const WCHAR *id, LONG source)
{
    (void)lstrcpynW(outputDevice.playedOn, id, DEVICE_ID_CAPACITY);
    outputDevice.source = source;
}

// Where a session of the player's says where the music plays, that device; otherwise the
// default render device, as on Vista. What could not be read keeps the device remembered and is
// looked up again at the next poll.
static void lookUpOutput(IMMDeviceEnumerator *enumerator)
{
    WCHAR found[DEVICE_ID_CAPACITY];
    // With sessions on two devices the one watched stays, but a default that only stood in
    // before the player's session was active is no choice of the player's.
    const WCHAR *kept = outputDevice.source == OUTPUT_FROM_PLAYER_SESSION ? outputDevice.playedOn : L"";
    if (findPlayerSessionEndpoint(enumerator, kept, found)) {
        rememberOutput(found, OUTPUT_FROM_PLAYER_SESSION);
        return;
    }
    switch (readDefaultOutput(enumerator, found)) {
    case OUTPUT_READ:
        rememberOutput(found, OUTPUT_FROM_DEFAULT);
        break;
    case OUTPUT_NONE:
        rememberOutput(L"", OUTPUT_NOTHING);
        break;
    case OUTPUT_UNKNOWN:
        outputDevice.lookupWanted = 1;
        break;
    }
}

// The device notices hold and the player's sessions are watched: the output need not be looked
// up at every poll.
static BOOL outputNoticesHold(void)
{
    return deviceNoticesHold() && playerSessionNoticesHold();
}

// What the notices counted since the last look: a device came, went or changed, the default
// moved, or a session of the player's came, went or changed its state.
static BOOL noticesCountedChanges(void)
{
    LONG changes = endpointChangeCount() + defaultOutputMoveCount() + playerSessionChangeCount();
    BOOL changed = changes != outputDevice.changesSeen;
    outputDevice.changesSeen = changes;
    return changed;
}

// Where every notice is registered, the output is looked up only when one asks for it; else
// at every poll, as nothing would tell of a change.
static BOOL lookupDue(void)
{
    BOOL asked = InterlockedExchange(&outputDevice.lookupWanted, 0) != 0;
    BOOL noticed = noticesCountedChanges();
    return asked || noticed || outputDevice.source == OUTPUT_NOT_LOOKED_UP || !outputNoticesHold();
}

static BOOL watchingOutput(void)
{
    return settingsInForce().isDeviceLost != 0 && pluginState.hasCoreAudio;
}

void noteUserStartDuringPause(void)
{
    InterlockedExchange(&outputDevice.startedByUser, 1);
}

// The music the user started plays wherever it plays now: a device kept through the pause that
// went meanwhile is no loss of the user's music, and no reason to pause it or to hold it.
static void forgetOutputKeptForUser(void)
{
    if (InterlockedExchange(&outputDevice.startedByUser, 0) != 0)
        forgetOutputDevice();
}

// The device remembered is checked before any new look: after a loss the music may already
// play on, or the default have moved to, the next device.
BOOL outputDeviceWentAway(BOOL playing)
{
    forgetOutputKeptForUser();
    if (!watchingOutput()) {
        forgetOutputDevice();
        return FALSE;
    }
    if (!playing) {
        // A pause of the plug-in's own keeps the output the music played on, for its end to check;
        // the user's pause, also one during a hold the user played over, keeps none.
        if (pluginState.pausedByPlugin != PAUSED_BY_US)
            forgetOutputDevice();
        return FALSE;
    }
    HRESULT apartment = enterComApartment();
    IMMDeviceEnumerator *enumerator = borrowDeviceEnumerator();
    BOOL lost = FALSE;
    if (enumerator != NULL) {
        DeviceStanding standing =
            outputDevice.playedOn[0] != L'\0' ? deviceStanding(enumerator, outputDevice.playedOn) : DEVICE_PRESENT;
        // A device that could not be read stays the one watched, to be checked again.
        if (standing == DEVICE_PRESENT && lookupDue())
            lookUpOutput(enumerator);
        lost = goneOrPulled(enumerator, standing);
        if (lost)
            forgetOutputDevice();
        enumerator->Release();
    }
    leaveComApartment(apartment);
    return lost;
}

BOOL heldOutputHasGone(void)
{
    forgetOutputKeptForUser();
    if (!watchingOutput() || outputDevice.playedOn[0] == L'\0')
        return FALSE;
    HRESULT apartment = enterComApartment();
    IMMDeviceEnumerator *enumerator = borrowDeviceEnumerator();
    BOOL gone = FALSE;
    if (enumerator != NULL) {
        gone = goneOrPulled(enumerator, deviceStanding(enumerator, outputDevice.playedOn));
        enumerator->Release();
    }
    leaveComApartment(apartment);
    if (gone)
        forgetOutputDevice();
    return gone;
}
