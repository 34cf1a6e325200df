// The audio sessions of every active capture device, seen from the watch thread: which programs
// other than the player capture now. The sessions are looked at only when a notice says that
// something changed (a session created, a session's state, a device), and the programs found
// go back to the call rule that asked; where a registration failed, every poll looks. Everything here
// is registered and unregistered on the watch thread, in its multithreaded apartment.
#include <objbase.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "engine/capture_sessions.h"

#include "engine/audio_platform.h"
#include "engine/static_notices.h"
#include "engine/wake_signals.h"

CaptureSessions captureSessions;

static HRESULT lookAgain(void)
{
    captureSessions.sessionsChanged = 1;
    wakeWatchLoop();
    return S_OK;
}

// One instance serves every capture device: it keeps the session it is handed for the look it
// asks for, whoever calls it. (Named apart from the player's own session notices: two classes
// of one name would share their methods.)
struct CaptureSessionCreatedNotices : StaticNotices<IAudioSessionNotification> {
    HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl *control) override
    {
        (void)keepHandedOver(captureSessions.handedOver, MAX_CAPTURE_SESSIONS, control);
        return lookAgain();
    }
};

// One instance serves every session watched. A call app moves its volume often: only a change
// of state, or the end of the session, asks for a look.
struct CaptureSessionStateNotices : StaticNotices<IAudioSessionEvents> {
    HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState) override { return lookAgain(); }
    HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason reason) override
    {
        noteSessionCutOff(reason);
        return lookAgain();
    }
    HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
};

static const CaptureSessionCreatedNotices captureSessionCreatedNotices{};
static const CaptureSessionStateNotices captureSessionStateNotices{};

// --- the sessions watched --------------------------------------------------------------------

static void unwatchSessions(void)
{
    unwatchSessionStates(captureSessions.sessions, callbackOf(captureSessionStateNotices));
}

// The system sounds and the player's own sessions never count: they are not watched at all.
static BOOL anotherProgramsSession(IAudioSessionControl2 *session, DWORD &processId)
{
    if (session->IsSystemSoundsSession() == S_OK)
        return FALSE;
    // A session shared by several processes still names the first one.
    processId = 0;
    return SUCCEEDED(session->GetProcessId(&processId)) && processId != 0 && processId != GetCurrentProcessId();
}

static void addCaller(CapturingPrograms &found, DWORD processId)
{
    for (LONG i = 0; i < found.count; ++i) {
        if (found.processIds[i] == processId)
            return;
    }
    if (found.count < MAX_CAPTURING_PROGRAMS)
        found.processIds[found.count++] = processId;
}

// The state is read after the registration, so that no start falls between the two. FALSE when
// the session could not be watched or read: the next poll looks again.
static BOOL lookAtSession(IAudioSessionControl *control, void *programsFound)
{
    CapturingPrograms &found = *(CapturingPrograms *)programsFound;
    IAudioSessionControl2 *session = NULL;
    if (FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2), (void **)&session)) || session == NULL)
        return FALSE;
    DWORD processId = 0;
    BOOL complete = TRUE;
    if (anotherProgramsSession(session, processId)) {
        complete = watchSessionState(captureSessions.sessions, session, callbackOf(captureSessionStateNotices));
        AudioSessionState state = AudioSessionStateInactive;
        if (FAILED(session->GetState(&state)))
            complete = FALSE;
        else if (state == AudioSessionStateActive)
            addCaller(found, processId);
    }
    session->Release();
    return complete;
}

static BOOL lookAtDeviceSessions(CaptureDevice &device, CapturingPrograms &found)
{
    IAudioSessionEnumerator *list = NULL;
    HRESULT listed = device.manager->GetSessionEnumerator(&list);
    if (listed == E_NOTIMPL) {
        // Nothing can be seen there, now or later: the device is left alone until it comes again.
        device.blind = TRUE;
        return TRUE;
    }
    if (FAILED(listed) || list == NULL) {
        (void)audioServiceLostBy(listed, FALSE);
        return FALSE;
    }
    // Counting it is also what lets the device's new-session notices flow.
    BOOL complete = visitListedSessions(list, lookAtSession, &found);
    list->Release();
    return complete;
}

// --- the capture devices -----------------------------------------------------------------------

static void unwatchDevice(CaptureDevice &device)
{
    if (device.manager != NULL) {
        if (device.creationNoticed && FAILED(device.manager->UnregisterSessionNotification(callbackOf(captureSessionCreatedNotices))))
            noteCallbacksMayCome();
        device.manager->Release();
    }
    ZeroMemory(&device, sizeof device);
}

// Vista's devices have no IAudioSessionManager2: such a device is kept, blind, so that it is
// not asked again at every look. Any other failure (an endpoint not ready yet, as a Bluetooth
// headset just turned on, or an audio service restarting) takes nothing on: FALSE, and the
// next look tries again.
static BOOL watchDevice(CaptureDevice &device, IMMDevice *endpoint, const WCHAR *id)
{
    IAudioSessionManager2 *manager = NULL;
    HRESULT activated =
        endpoint->Activate(__uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, NULL, (void **)&manager);
    // The interface came with Windows 7: where one device lacks it, all do, for good.
    if (activated == E_NOINTERFACE)
        captureSessions.noSessionInterfaces = TRUE;
    else if (FAILED(activated) || manager == NULL) {
        (void)audioServiceLostBy(activated, FALSE);
        return FALSE;
    }
    device.present = TRUE;
    device.listed = TRUE;
    (void)lstrcpynW(device.id, id, DEVICE_ID_CAPACITY);
    device.manager = SUCCEEDED(activated) ? manager : NULL;
    device.blind = device.manager == NULL;
    return TRUE;
}

static CaptureDevice *deviceWithId(const WCHAR *id)
{
    for (CaptureDevice &device : captureSessions.devices) {
        if (device.present && sameDeviceId(device.id, id))
            return &device;
    }
    for (CaptureDevice &device : captureSessions.devices) {
        if (!device.present)
            return &device;
    }
    return NULL;
}

// A microphone past the table is still looked at, once per look and kept by none: FALSE, so
// that every poll looks again for as long as it is there.
static BOOL lookPastTheTable(IMMDevice *endpoint, const WCHAR *id, CapturingPrograms &found)
{
    CaptureDevice passing = {};
    if (watchDevice(passing, endpoint, id) && !passing.blind)
        (void)lookAtDeviceSessions(passing, found);
    unwatchDevice(passing);
    return FALSE;
}

// FALSE when the device could not be followed from its notices.
static BOOL listDevice(IMMDevice *endpoint, const WCHAR *id, CapturingPrograms &found)
{
    CaptureDevice *device = deviceWithId(id);
    if (device == NULL)
        return lookPastTheTable(endpoint, id, found);
    if (device->present) {
        device->listed = TRUE;
        return TRUE;
    }
    return watchDevice(*device, endpoint, id);
}

// Devices that went are let go, new ones taken on; those still there keep what they had.
static BOOL listCaptureDevices(CapturingPrograms &found)
{
    IMMDeviceCollection *endpoints = NULL;
    if (FAILED(captureSessions.enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &endpoints)) ||
        endpoints == NULL)
        return FALSE;
    for (CaptureDevice &device : captureSessions.devices)
        device.listed = FALSE;
    UINT count = 0;
    BOOL everyOneRead = SUCCEEDED(endpoints->GetCount(&count));
    BOOL complete = everyOneRead;
    // A device that cannot be followed hides no call on the ones listed after it.
    for (UINT index = 0; index < count; ++index) {
        IMMDevice *endpoint = NULL;
        WCHAR id[DEVICE_ID_CAPACITY];
        if (FAILED(endpoints->Item(index, &endpoint)) || endpoint == NULL || !readDeviceId(endpoint, id))
            everyOneRead = complete = FALSE;
        else
            complete = listDevice(endpoint, id, found) && complete;
        if (endpoint != NULL)
            endpoint->Release();
    }
    endpoints->Release();
    // A device missing from a whole listing is gone, whatever could not be followed besides:
    // its slot serves the next one.
    for (CaptureDevice &device : captureSessions.devices) {
        if (device.present && !device.listed && everyOneRead)
            unwatchDevice(device);
    }
    return complete;
}

static BOOL askForNewSessions(CaptureDevice &device)
{
    if (!device.creationNoticed)
        device.creationNoticed = SUCCEEDED(device.manager->RegisterSessionNotification(callbackOf(captureSessionCreatedNotices)));
    return device.creationNoticed;
}

// --- the look ----------------------------------------------------------------------------------

// Every session is watched afresh at each look (the caller let the earlier ones go): the
// platform may hand out a new object for the same session, and a registration is cheaper than
// telling two apart.
static BOOL lookAtCaptureSessions(CapturingPrograms &found)
{
    BOOL complete = TRUE;
    for (CaptureDevice &device : captureSessions.devices) {
        if (!device.present || device.blind)
            continue;
        // The new-session notices first: a session created while the list is read is not missed.
        BOOL noticed = askForNewSessions(device);
        BOOL seen = lookAtDeviceSessions(device, found);
        // A device that turned out blind misses nothing for want of notices.
        complete = complete && seen && (noticed || device.blind);
    }
    return complete;
}

// A device came, went or changed since the last look, or no notice would say so.
static BOOL devicesMayHaveChanged(void)
{
    LONG endpointChanges = endpointChangeCount();
    BOOL announced = endpointChanges != captureSessions.endpointChangesSeen;
    captureSessions.endpointChangesSeen = endpointChanges;
    return announced || !deviceNoticesHold() || !captureSessions.watching || captureSessions.missesChanges;
}

BOOL listCapturingProgramsIfChanged(CapturingPrograms &found)
{
    found.count = 0;
    // While the audio service is away nothing can be seen: what was seen before stands.
    if (captureSessions.noSessionInterfaces || audioServiceAway())
        return FALSE;
    BOOL devicesChanged = devicesMayHaveChanged();
    BOOL sessionsChanged = InterlockedExchange(&captureSessions.sessionsChanged, 0) != 0;
    if (!devicesChanged && !sessionsChanged)
        return FALSE;
    // The watch thread's own enumerator, kept for its life: no second one for the microphones.
    if (captureSessions.enumerator == NULL)
        captureSessions.enumerator = borrowDeviceEnumerator();
    if (captureSessions.enumerator == NULL) {
        captureSessions.missesChanges = TRUE;
        return FALSE;
    }
    unwatchSessions();
    // The sessions announced since the last look, watched from the control each announcement
    // handed over: a list taken later need not show them. Into the table before any list, so
    // that a full table leaves the listed ones to the poll rather than these.
    BOOL complete = takeHandedOver(captureSessions.handedOver, MAX_CAPTURE_SESSIONS, lookAtSession, &found);
    complete = (!devicesChanged || listCaptureDevices(found)) && complete;
    complete = lookAtCaptureSessions(found) && complete;
    captureSessions.watching = TRUE;
    captureSessions.missesChanges = !complete;
    // A service that went away during the look shows no program's end: nothing was looked at.
    return !audioServiceAway();
}

// Sessions before their devices, each unregistered before it is released.
void stopWatchingCaptureSessions(void)
{
    unwatchSessions();
    for (CaptureDevice &device : captureSessions.devices)
        unwatchDevice(device);
    (void)takeHandedOver(captureSessions.handedOver, MAX_CAPTURE_SESSIONS, NULL, NULL);
    if (captureSessions.enumerator != NULL)
        captureSessions.enumerator->Release();
    captureSessions.enumerator = NULL;
    captureSessions.sessionsChanged = 0;
    captureSessions.watching = FALSE;
    captureSessions.missesChanges = FALSE;
    captureSessions.noSessionInterfaces = FALSE;
}

// Asked where no speakers are held: with no output at all, a restart would show nowhere else.
BOOL captureWatchAnswers(void)
{
    for (CaptureDevice &device : captureSessions.devices) {
        if (device.manager == NULL)
            continue;
        IAudioSessionEnumerator *list = NULL;
        HRESULT listed = device.manager->GetSessionEnumerator(&list);
        if (list != NULL)
            list->Release();
        return !audioServiceLostBy(listed, TRUE);
    }
    return TRUE;
}
