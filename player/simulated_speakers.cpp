// The simulated device enumerator, its render and capture devices, their collections and
// volume objects. Objects are counted
// while alive, so that a caller can see every reference it took released again. Listeners are
// called outside the registry's lock, as notice_threads.h delivers them.
#include "simulated_speakers.h"

#include <objbase.h>

#include <endpointvolume.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include "counted_object.h"
#include "import_patch.h"
#include "notice_threads.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"

SimulatedSpeakers simulatedSpeakers;

static HRESULT(WINAPI *systemCoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);

// The two outputs' ids differ only in case: a device id is compared ordinally, and one compared
// any other way would take the one for the other.
static const wchar_t *const deviceIds[SPEAKER_DEVICE_COUNT] = {
    L"{0.0.0.00000000}.{hushgate-output}", L"{0.0.0.00000000}.{HUSHGATE-OUTPUT}",
    L"{0.0.1.00000000}.{hushgate-microphone}", L"{0.0.1.00000000}.{hushgate-headset}",
    L"{0.0.1.00000000}.{hushgate-microphone-4}", L"{0.0.1.00000000}.{hushgate-microphone-5}",
    L"{0.0.1.00000000}.{hushgate-microphone-6}", L"{0.0.1.00000000}.{hushgate-microphone-7}",
    L"{0.0.1.00000000}.{hushgate-microphone-8}", L"{0.0.1.00000000}.{hushgate-microphone-9}",
    L"{0.0.1.00000000}.{hushgate-microphone-10}", L"{0.0.1.00000000}.{hushgate-microphone-11}"};
static const EDataFlow deviceFlows[SPEAKER_DEVICE_COUNT] = {eRender,  eRender,  eCapture, eCapture, eCapture, eCapture,
                                                            eCapture, eCapture, eCapture, eCapture, eCapture, eCapture};

// Who listens: notification clients, and mute callbacks with the device they listen on.
struct Listeners {
    CRITICAL_SECTION lock;
    IMMNotificationClient *clients[MAX_SPEAKER_LISTENERS];
    IAudioEndpointVolumeCallback *muteCallbacks[MAX_SPEAKER_LISTENERS];
    LONG muteDevice[MAX_SPEAKER_LISTENERS];
    LONG muteMadeAfterStops[MAX_SPEAKER_LISTENERS];  // registered through an object of that service's life
};
static Listeners listeners;

// Made on first use, which comes before any second thread: whoever touches the registry first.
static void prepareListeners(void)
{
    static BOOL ready;
    if (ready)
        return;
    InitializeCriticalSection(&listeners.lock);
    ready = TRUE;
}

// The count beside the registry says how many are registered now.
template <typename Entry>
static BOOL addListener(Entry *(&slots)[MAX_SPEAKER_LISTENERS], Entry *entry, volatile LONG &count, LONG &slot)
{
    prepareListeners();
    EnterCriticalSection(&listeners.lock);
    slot = -1;
    for (LONG i = 0; i < MAX_SPEAKER_LISTENERS && slot < 0; ++i) {
        if (slots[i] == NULL) {
            slots[i] = entry;
            slot = i;
        }
    }
    LeaveCriticalSection(&listeners.lock);
    if (slot >= 0)
        InterlockedIncrement(&count);
    return slot >= 0;
}

template <typename Entry>
static BOOL removeListener(Entry *(&slots)[MAX_SPEAKER_LISTENERS], Entry *entry, volatile LONG &count)
{
    BOOL found = FALSE;
    prepareListeners();
    EnterCriticalSection(&listeners.lock);
    for (LONG i = 0; i < MAX_SPEAKER_LISTENERS && !found; ++i) {
        if (slots[i] == entry) {
            slots[i] = NULL;
            found = TRUE;
        }
    }
    LeaveCriticalSection(&listeners.lock);
    if (found)
        InterlockedDecrement(&count);
    return found;
}

// Counts the call and answers whether the step is to fail.
static BOOL stepFails(SpeakerStep step)
{
    InterlockedIncrement(&simulatedSpeakers.calls[step]);
    return simulatedSpeakers.failing[step] != 0;
}

struct LiveSpeakerObjects {
    static volatile LONG &count(void) { return simulatedSpeakers.liveObjects; }
};
template <typename Interface> using Counted = CountedObject<Interface, LiveSpeakerObjects>;

static void tellMute(LONG device, BOOL muted, LPCGUID context);

// The volume object lives in the audio service: made under one of its lives, dead after it.
struct SpeakerVolume : Counted<IAudioEndpointVolume> {
    LONG device;
    LONG madeAfterStops = simulatedSpeakers.serviceStops;
    explicit SpeakerVolume(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE GetMute(BOOL *muted) override
    {
        if (stepFails(SPEAKER_STEP_GET_MUTE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        *muted = simulatedSpeakers.muted[device] != 0;
        return S_OK;
    }
    // Every registered callback hears it, the caller's own included, with the caller's context.
    HRESULT STDMETHODCALLTYPE SetMute(BOOL muted, LPCGUID context) override
    {
        if (stepFails(SPEAKER_STEP_SET_MUTE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        LONG now = muted ? 1 : 0;
        if (InterlockedExchange(&simulatedSpeakers.muted[device], now) == now)
            return S_FALSE;
        tellMute(device, muted, context);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback *callback) override
    {
        LONG slot;
        noteRegistration();
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        if (stepFails(SPEAKER_STEP_MUTE_NOTICES) || callback == NULL ||
            !addListener(listeners.muteCallbacks, callback, simulatedSpeakers.muteCallbacks, slot))
            return E_FAIL;
        listeners.muteDevice[slot] = device;
        listeners.muteMadeAfterStops[slot] = madeAfterStops;
        return S_OK;
    }
    // The registration is this process's own record: a dead object still lets it go.
    HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback *callback) override
    {
        if (simulatedSpeakers.muteUnregistrationRefused)
            return E_FAIL;
        BOOL found = removeListener(listeners.muteCallbacks, callback, simulatedSpeakers.muteCallbacks);
        noteUnregistration();
        return found ? S_OK : E_INVALIDARG;
    }
    // Nothing else is asked of the speakers.
    HRESULT STDMETHODCALLTYPE GetChannelCount(UINT *channels) override
    {
        *channels = 0;
        if (stepFails(SPEAKER_STEP_CHANNEL_COUNT))
            return E_FAIL;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        *channels = 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT, float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT, float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT, float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT, float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT *, UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVolumeRange(float *, float *, float *) override { return E_NOTIMPL; }
};

struct SpeakerDevice : Counted<IMMDevice> {
    LONG device;
    explicit SpeakerDevice(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT *, void **object) override
    {
        *object = NULL;
        if (isSessionManagerInterface(iid))
            return activateSessionManager(device, iid, object);
        if (isTopologyInterface(iid))
            return activateTopology(device, iid, object);
        if (stepFails(SPEAKER_STEP_ACTIVATE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (simulatedSpeakers.serviceStopped)
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        SpeakerVolume *volume = new SpeakerVolume(device);
        HRESULT result = volume->QueryInterface(iid, object);
        volume->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR *id) override
    {
        *id = (LPWSTR)CoTaskMemAlloc((lstrlenW(deviceIds[device]) + 1) * sizeof(WCHAR));
        if (*id == NULL)
            return E_OUTOFMEMORY;
        lstrcpyW(*id, deviceIds[device]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD *state) override
    {
        *state = (DWORD)simulatedSpeakers.state[device];
        return S_OK;
    }
};

// The devices of one flow in some states, as they were when it was made.
struct SpeakerCollection : Counted<IMMDeviceCollection> {
    LONG count = 0;
    LONG devices[SPEAKER_DEVICE_COUNT];
    SpeakerCollection(EDataFlow flow, DWORD states)
    {
        for (LONG device = 0; device < SPEAKER_DEVICE_COUNT; ++device) {
            if ((flow == eAll || flow == deviceFlows[device]) && ((DWORD)simulatedSpeakers.state[device] & states) != 0)
                devices[count++] = device;
        }
    }
    HRESULT STDMETHODCALLTYPE GetCount(UINT *devicesIn) override
    {
        *devicesIn = (UINT)count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice **device) override
    {
        *device = index < (UINT)count ? new SpeakerDevice(devices[index]) : NULL;
        return *device != NULL ? S_OK : E_INVALIDARG;
    }
};

static LONG deviceNamed(LPCWSTR id)
{
    for (LONG device = 0; device < SPEAKER_DEVICE_COUNT; ++device) {
        if (id != NULL && lstrcmpW(id, deviceIds[device]) == 0)
            return device;
    }
    return NO_DEFAULT_SPEAKERS;
}

struct SpeakerEnumerator : Counted<IMMDeviceEnumerator> {
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice **device) override
    {
        *device = NULL;
        if (stepFails(SPEAKER_STEP_DEFAULT_DEVICE))
            return E_OUTOFMEMORY;
        LONG index = NO_DEFAULT_SPEAKERS;
        if (flow == eRender)
            index = simulatedSpeakers.defaultDevice;
        if (flow == eCapture)
            index = simulatedSpeakers.defaultMicrophone;
        if (index == NO_DEFAULT_SPEAKERS)
            return E_NOTFOUND;
        *device = new SpeakerDevice(index);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice **device) override
    {
        *device = NULL;
        if (stepFails(SPEAKER_STEP_GET_DEVICE))
            return E_OUTOFMEMORY;
        LONG index = deviceNamed(id);
        *device = index == NO_DEFAULT_SPEAKERS ? NULL : new SpeakerDevice(index);
        return *device != NULL ? S_OK : E_NOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD states, IMMDeviceCollection **devices) override
    {
        *devices = NULL;
        if (stepFails(SPEAKER_STEP_ENUMERATE))
            return E_OUTOFMEMORY;
        if (flow == eCapture || flow == eAll)
            InterlockedIncrement(&simulatedSpeakers.captureListings);
        *devices = new SpeakerCollection(flow, states);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient *client) override
    {
        LONG slot;
        noteRegistration();
        if (stepFails(SPEAKER_STEP_DEVICE_NOTICES) || client == NULL ||
            !addListener(listeners.clients, client, simulatedSpeakers.deviceClients, slot))
            return E_FAIL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient *client) override
    {
        BOOL found = removeListener(listeners.clients, client, simulatedSpeakers.deviceClients);
        noteUnregistration();
        return found ? S_OK : E_NOTFOUND;
    }
};

static HRESULT WINAPI speakerAwareCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                                   LPVOID *object)
{
    if (!IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator)) || simulatedSpeakers.passThrough)
        return systemCoCreateInstance(clsid, outer, context, iid, object);
    *object = NULL;
    if (stepFails(SPEAKER_STEP_CREATE))
        return REGDB_E_CLASSNOTREG;
    SpeakerEnumerator *enumerator = new SpeakerEnumerator;
    HRESULT result = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return result;
}

BOOL interceptSpeakers(HMODULE module)
{
    prepareListeners();
    return interceptImport(module, "ole32.dll", "CoCreateInstance", speakerAwareCoCreateInstance,
                           systemCoCreateInstance);
}

void dropMuteCallbacks(void)
{
    prepareListeners();
    EnterCriticalSection(&listeners.lock);
    for (LONG i = 0; i < MAX_SPEAKER_LISTENERS; ++i)
        listeners.muteCallbacks[i] = NULL;
    simulatedSpeakers.muteCallbacks = 0;
    LeaveCriticalSection(&listeners.lock);
}

void resetSimulatedSpeakers(void)
{
    for (LONG index = 0; index < SPEAKER_DEVICE_COUNT; ++index) {
        simulatedSpeakers.muted[index] = 0;
        simulatedSpeakers.state[index] = index < FIRST_EXTRA_MICROPHONE ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
    }
    simulatedSpeakers.whileGoingDown = NULL;
    simulatedSpeakers.captureListings = 0;
    simulatedSpeakers.defaultDevice = SPEAKERS;
    simulatedSpeakers.defaultMicrophone = MICROPHONE;
    simulatedSpeakers.passThrough = 0;
    simulatedSpeakers.silent = 0;
    simulatedSpeakers.muteUnregistrationRefused = 0;
    simulatedSpeakers.serviceStopped = 0;
    for (int step = 0; step < SPEAKER_STEP_COUNT; ++step) {
        simulatedSpeakers.failing[step] = 0;
        simulatedSpeakers.calls[step] = 0;
    }
}

// A snapshot under the lock; the calls go out after it, as a callback may take its time.
template <typename Entry>
static LONG snapshot(Entry *const (&slots)[MAX_SPEAKER_LISTENERS], Entry *(&copy)[MAX_SPEAKER_LISTENERS],
                     LONG onlyDevice)
{
    LONG count = 0;
    if (simulatedSpeakers.silent)
        return 0;
    prepareListeners();
    EnterCriticalSection(&listeners.lock);
    for (LONG i = 0; i < MAX_SPEAKER_LISTENERS; ++i) {
        // A mute callback registered through an object the service no longer serves hears nothing.
        if (slots[i] != NULL && (onlyDevice < 0 || (listeners.muteDevice[i] == onlyDevice &&
                                                    audioServiceServes(listeners.muteMadeAfterStops[i]))))
            copy[count++] = slots[i];
    }
    LeaveCriticalSection(&listeners.lock);
    return count;
}

// A change the user made in the mixer carries no caller's context.
static void tellMute(LONG device, BOOL muted, LPCGUID context)
{
    IAudioEndpointVolumeCallback *callbacks[MAX_SPEAKER_LISTENERS];
    beginTelling();
    LONG count = snapshot(listeners.muteCallbacks, callbacks, device);
    AUDIO_VOLUME_NOTIFICATION_DATA data = {};
    data.guidEventContext = context != NULL ? *context : GUID_NULL;
    data.bMuted = muted;
    data.fMasterVolume = 1.0f;
    data.nChannels = 1;
    for (LONG i = 0; i < count; ++i) {
        IAudioEndpointVolumeCallback *callback = callbacks[i];
        deliverNotice([=]() mutable { (void)callback->OnNotify(&data); });
    }
    endTelling();
}

void setSpeakersMuted(BOOL muted)
{
    LONG index = simulatedSpeakers.defaultDevice;
    if (index == NO_DEFAULT_SPEAKERS)
        return;
    simulatedSpeakers.muted[index] = muted ? 1 : 0;
    tellMute(index, muted, NULL);
}

BOOL speakersMuted(void)
{
    LONG index = simulatedSpeakers.defaultDevice;
    return index != NO_DEFAULT_SPEAKERS && simulatedSpeakers.muted[index] != 0;
}

const wchar_t *speakerDeviceId(LONG device)
{
    return deviceIds[device];
}

// Windows tells each role apart.
static void tellEachRole(IMMNotificationClient *client, EDataFlow flow, LPCWSTR defaultId)
{
    static const ERole roles[] = {eConsole, eMultimedia, eCommunications};
    for (ERole role : roles)
        deliverNotice([=] { (void)client->OnDefaultDeviceChanged(flow, role, defaultId); });
}

static void tellClients(LONG changedDevice, BOOL stateChanged, BOOL defaultMoved)
{
    IMMNotificationClient *clients[MAX_SPEAKER_LISTENERS];
    beginTelling();
    LONG count = snapshot(listeners.clients, clients, -1);
    // Windows names no device when the last output went.
    LONG now = simulatedSpeakers.defaultDevice;
    LPCWSTR defaultId = now == NO_DEFAULT_SPEAKERS ? NULL : deviceIds[now];
    LPCWSTR changedId = deviceIds[changedDevice];
    DWORD state = (DWORD)simulatedSpeakers.state[changedDevice];
    for (LONG i = 0; i < count; ++i) {
        IMMNotificationClient *client = clients[i];
        if (stateChanged)
            deliverNotice([=] { (void)client->OnDeviceStateChanged(changedId, state); });
        if (defaultMoved)
            tellEachRole(client, eRender, defaultId);
    }
    endTelling();
}

void tellPropertyValueChanged(LONG device, const PROPERTYKEY &key)
{
    IMMNotificationClient *clients[MAX_SPEAKER_LISTENERS];
    beginTelling();
    LONG count = snapshot(listeners.clients, clients, -1);
    for (LONG i = 0; i < count; ++i) {
        IMMNotificationClient *client = clients[i];
        PROPERTYKEY changed = key;
        deliverNotice([=] { (void)client->OnPropertyValueChanged(deviceIds[device], changed); });
    }
    endTelling();
}

void plugInHeadphones(void)
{
    simulatedSpeakers.state[HEADPHONES] = DEVICE_STATE_ACTIVE;
    simulatedSpeakers.defaultDevice = HEADPHONES;
    tellClients(HEADPHONES, TRUE, TRUE);
}

void unplugHeadphones(void)
{
    simulatedSpeakers.state[HEADPHONES] = DEVICE_STATE_UNPLUGGED;
    BOOL moved = simulatedSpeakers.defaultDevice == HEADPHONES;
    if (moved)
        simulatedSpeakers.defaultDevice = SPEAKERS;
    tellClients(HEADPHONES, TRUE, moved);
}

void chooseDefaultDevice(LONG device)
{
    simulatedSpeakers.defaultDevice = device;
    tellClients(device, FALSE, TRUE);
}

void chooseDefaultMicrophone(LONG device)
{
    simulatedSpeakers.defaultMicrophone = device;
    IMMNotificationClient *clients[MAX_SPEAKER_LISTENERS];
    beginTelling();
    LONG count = snapshot(listeners.clients, clients, -1);
    for (LONG i = 0; i < count; ++i)
        tellEachRole(clients[i], eCapture, deviceIds[device]);
    endTelling();
}

void plugInExtraMicrophones(LONG count)
{
    for (LONG device = FIRST_EXTRA_MICROPHONE; device < SPEAKER_DEVICE_COUNT; ++device) {
        LONG state = device - FIRST_EXTRA_MICROPHONE < count ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
        if (simulatedSpeakers.state[device] == state)
            continue;
        simulatedSpeakers.state[device] = state;
        tellClients(device, TRUE, FALSE);
    }
}

BOOL headphonesUnplugged(void)
{
    return simulatedSpeakers.state[HEADPHONES] != DEVICE_STATE_ACTIVE;
}

void plugInHeadset(void)
{
    simulatedSpeakers.state[HEADSET] = DEVICE_STATE_ACTIVE;
    tellClients(HEADSET, TRUE, FALSE);
}

void unplugHeadset(void)
{
    simulatedSpeakers.state[HEADSET] = DEVICE_STATE_UNPLUGGED;
    tellClients(HEADSET, TRUE, FALSE);
}

void setDevicePresent(LONG device, BOOL present, LONG newDefault)
{
    simulatedSpeakers.state[device] = present ? DEVICE_STATE_ACTIVE : DEVICE_STATE_UNPLUGGED;
    BOOL moved = simulatedSpeakers.defaultDevice != newDefault;
    simulatedSpeakers.defaultDevice = newDefault;
    tellClients(device, TRUE, moved);
}

// --- the audio service's life -------------------------------------------------------------------

HRESULT audioServiceAnswer(LONG madeAfterStops)
{
    if (simulatedSpeakers.serviceStopped)
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    return madeAfterStops == simulatedSpeakers.serviceStops ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
}

// The sessions hear it while their listeners still count: after the stop nobody would.
void stopAudioService(void)
{
    if (simulatedSpeakers.serviceStopped)
        return;
    tellSessionsServerShutdown();
    if (simulatedSpeakers.whileGoingDown != NULL)
        simulatedSpeakers.whileGoingDown();
    InterlockedIncrement(&simulatedSpeakers.serviceStops);
    simulatedSpeakers.serviceStopped = 1;
}

void startAudioService(void)
{
    if (!simulatedSpeakers.serviceStopped)
        return;
    forgetSessionListsRead();
    simulatedSpeakers.serviceStartedAt = GetTickCount();
    simulatedSpeakers.serviceStopped = 0;
}
