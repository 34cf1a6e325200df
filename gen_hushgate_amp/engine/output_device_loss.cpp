// Pauses once when the render device the music plays on goes away (headphones unplugged, a
// USB or Bluetooth headset dropped): Windows then moves the sound to the next device, and the
// music would go on from the laptop's speakers. The pause is the user's to undo. Asked by the
// poll; the device notification client only wakes the loop so that the poll asks at once.
#include <objbase.h>

#include <mmdeviceapi.h>

#include "engine/engine.h"
#include "plugin/plugin.h"

OutputDevice outputDevice;

void forgetOutputDevice(void)
{
    outputDevice.defaultWhilePlaying[0] = L'\0';
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
    LPWSTR text = NULL;
    DefaultOutput result = OUTPUT_UNKNOWN;
    // An id too long to keep whole is not kept: a cut one would name no device.
    if (SUCCEEDED(device->GetId(&text)) && text != NULL && lstrlenW(text) < DEVICE_ID_CAPACITY) {
        (void)lstrcpynW(id, text, DEVICE_ID_CAPACITY);
        result = OUTPUT_READ;
    }
    CoTaskMemFree(text);
    device->Release();
    return result;
}

// Gone means unplugged, disabled, not present or removed; any failure to tell says it is not.
static BOOL deviceHasGone(IMMDeviceEnumerator *enumerator, const WCHAR *id)
{
    IMMDevice *device = NULL;
    HRESULT found = enumerator->GetDevice(id, &device);
    if (found == E_NOTFOUND)
        return TRUE;
    if (FAILED(found) || device == NULL)
        return FALSE;
    DWORD state = DEVICE_STATE_ACTIVE;
    BOOL gone = SUCCEEDED(device->GetState(&state)) && state != DEVICE_STATE_ACTIVE;
    device->Release();
    return gone;
}

// A new default beside an old one still active is the user's choice of where to listen, and a
// device that arrives takes nothing away: only a default that moved off a device no longer
// active is a loss.
BOOL outputDeviceWentAway(BOOL playing)
{
    if (!playing || pluginState.settings.isDeviceLost == 0 || !pluginState.hasCoreAudio) {
        forgetOutputDevice();
        return FALSE;
    }
    HRESULT apartment = enterComApartment();
    IMMDeviceEnumerator *enumerator = createDeviceEnumerator();
    BOOL lost = FALSE;
    if (enumerator != NULL) {
        WCHAR current[DEVICE_ID_CAPACITY];
        // What could not be read keeps the device remembered, to be compared at the next poll.
        if (readDefaultOutput(enumerator, current) != OUTPUT_UNKNOWN) {
            const WCHAR *previous = outputDevice.defaultWhilePlaying;
            if (previous[0] != L'\0' && lstrcmpW(previous, current) != 0)
                lost = deviceHasGone(enumerator, previous);
            (void)lstrcpynW(outputDevice.defaultWhilePlaying, current, DEVICE_ID_CAPACITY);
        }
        enumerator->Release();
    }
    leaveComApartment(apartment);
    return lost;
}
