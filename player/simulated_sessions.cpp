// The simulated session managers, their session enumerators and session controls, and who
// listens to them. Sessions and listeners sit in fixed tables under one lock; the COM objects
// handed out are counted while alive, so that a caller can see every reference released.
#include "simulated_sessions.h"

#include <objbase.h>

#include <audioclient.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "counted_object.h"
#include "notice_threads.h"
#include "simulated_speakers.h"

// The headers leave it to the caller, as the page of GetProcessId says.
#ifndef AUDCLNT_S_NO_SINGLE_PROCESS
#define AUDCLNT_S_NO_SINGLE_PROCESS AUDCLNT_SUCCESS(0x00d)
#endif

SimulatedSessions simulatedSessions;

// A slot reused by a new session starts a new generation: what was handed out for the old
// one reads expired.
struct SessionRecord {
    BOOL live;
    LONG generation;
    LONG device;
    DWORD processId;
    AudioSessionState state;
    BOOL systemSounds;
    BOOL sharedByProcesses;
    LONG listing;        // SESSION_LISTED, or, announced with its lists unaware, one of the two below
    LONG announcedHeld;  // controls its announcement handed out, not yet released
};
enum { SESSION_LISTED, SESSION_ANNOUNCED_UNLISTED, SESSION_NEVER_LISTED };

struct SessionTables {
    CRITICAL_SECTION lock;
    SessionRecord sessions[MAX_SIMULATED_SESSIONS];
    IAudioSessionNotification *creationListeners[MAX_SESSION_LISTENERS];
    LONG creationDevice[MAX_SESSION_LISTENERS];
    IAudioSessionEvents *stateListeners[MAX_SESSION_LISTENERS];
    LONG stateSession[MAX_SESSION_LISTENERS];
    LONG stateGeneration[MAX_SESSION_LISTENERS];
    // The audio service's life each was registered in: a later one calls nobody of an earlier.
    LONG creationMadeAfterStops[MAX_SESSION_LISTENERS];
    LONG stateMadeAfterStops[MAX_SESSION_LISTENERS];
    BOOL listRead[MAX_SESSION_DEVICES];  // a GetCount was answered: new-session notices flow
};
static SessionTables tables;

// Made on first use, which comes before any second thread.
static void lockTables(void)
{
    static BOOL ready;
    if (!ready) {
        InitializeCriticalSection(&tables.lock);
        ready = TRUE;
    }
    EnterCriticalSection(&tables.lock);
}

static void unlockTables(void)
{
    LeaveCriticalSection(&tables.lock);
}

static BOOL stepFails(SessionStep step)
{
    InterlockedIncrement(&simulatedSessions.calls[step]);
    return simulatedSessions.failing[step] != 0;
}

static BOOL validSession(LONG session)
{
    return session >= 0 && session < MAX_SIMULATED_SESSIONS;
}

// Under the lock.
static BOOL sessionIs(LONG slot, LONG generation)
{
    return tables.sessions[slot].live && tables.sessions[slot].generation == generation;
}

struct LiveSessionObjects {
    static volatile LONG &count(void) { return simulatedSessions.liveObjects; }
};
template <typename Interface> using Counted = CountedObject<Interface, LiveSessionObjects>;

struct SessionControl : Counted<IAudioSessionControl2> {
    LONG slot, generation;
    DWORD processId;
    BOOL systemSounds, sharedByProcesses;
    BOOL announcing;  // handed out by the session's announcement
    LONG madeAfterStops = simulatedSpeakers.serviceStops;
    SessionControl(LONG at, const SessionRecord &record, BOOL announced = FALSE)
        : slot(at), generation(record.generation), processId(record.processId), systemSounds(record.systemSounds),
          sharedByProcesses(record.sharedByProcesses), announcing(announced)
    {
    }
    ~SessionControl() override
    {
        if (!announcing)
            return;
        lockTables();
        if (tables.sessions[slot].generation == generation)
            --tables.sessions[slot].announcedHeld;
        unlockTables();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IAudioSessionControl)) ||
            IsEqualIID(iid, __uuidof(IAudioSessionControl2)))
            return answer(static_cast<IAudioSessionControl2 *>(this), object);
        *object = NULL;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState *state) override
    {
        if (stepFails(SESSION_STEP_GET_STATE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        lockTables();
        *state = sessionIs(slot, generation) ? tables.sessions[slot].state : AudioSessionStateExpired;
        unlockTables();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterAudioSessionNotification(IAudioSessionEvents *listener) override
    {
        noteRegistration();
        if (stepFails(SESSION_STEP_STATE_NOTICES))
            return E_OUTOFMEMORY;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        if (listener == NULL)
            return E_POINTER;
        BOOL added = FALSE;
        lockTables();
        for (LONG i = 0; i < MAX_SESSION_LISTENERS && !added; ++i) {
            if (tables.stateListeners[i] != NULL)
                continue;
            tables.stateListeners[i] = listener;
            tables.stateSession[i] = slot;
            tables.stateGeneration[i] = generation;
            tables.stateMadeAfterStops[i] = madeAfterStops;
            added = TRUE;
        }
        unlockTables();
        if (!added)
            return E_OUTOFMEMORY;
        listener->AddRef();
        InterlockedIncrement(&simulatedSessions.stateListeners);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterAudioSessionNotification(IAudioSessionEvents *listener) override
    {
        BOOL found = FALSE;
        lockTables();
        for (LONG i = 0; i < MAX_SESSION_LISTENERS && !found; ++i) {
            if (tables.stateListeners[i] != listener || listener == NULL || tables.stateSession[i] != slot ||
                tables.stateGeneration[i] != generation)
                continue;
            tables.stateListeners[i] = NULL;
            found = TRUE;
        }
        unlockTables();
        noteUnregistration();
        if (!found)
            return E_NOTFOUND;
        InterlockedDecrement(&simulatedSessions.stateListeners);
        listener->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD *id) override
    {
        if (stepFails(SESSION_STEP_PROCESS_ID))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        *id = processId;
        return sharedByProcesses ? AUDCLNT_S_NO_SINGLE_PROCESS : S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override { return systemSounds ? S_OK : S_FALSE; }
    // Nothing else is asked of a session here.
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIconPath(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIconPath(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGroupingParam(GUID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetGroupingParam(LPCGUID, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSessionIdentifier(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSessionInstanceIdentifier(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDuckingPreference(BOOL) override { return E_NOTIMPL; }
};

// Under the lock, as an enumerator of the device is made: an announced session whose handed
// controls all went before it is left out from now on; one still held is known from now on.
static BOOL listedNow(SessionRecord &record)
{
    if (record.listing == SESSION_ANNOUNCED_UNLISTED)
        record.listing = record.announcedHeld > 0 ? SESSION_LISTED : SESSION_NEVER_LISTED;
    return record.listing == SESSION_LISTED;
}

// The sessions of its device as they were when it was made.
struct SessionEnumerator : Counted<IAudioSessionEnumerator> {
    LONG device;
    LONG madeAfterStops = simulatedSpeakers.serviceStops;
    LONG count = 0;
    LONG slots[MAX_SIMULATED_SESSIONS];
    SessionRecord records[MAX_SIMULATED_SESSIONS];
    explicit SessionEnumerator(LONG onDevice) : device(onDevice)
    {
        lockTables();
        for (LONG slot = 0; slot < MAX_SIMULATED_SESSIONS; ++slot) {
            if (!tables.sessions[slot].live || tables.sessions[slot].device != device || !listedNow(tables.sessions[slot]))
                continue;
            slots[count] = slot;
            records[count++] = tables.sessions[slot];
        }
        unlockTables();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IAudioSessionEnumerator)))
            return answer(static_cast<IAudioSessionEnumerator *>(this), object);
        *object = NULL;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetCount(int *sessionCount) override
    {
        if (stepFails(SESSION_STEP_GET_COUNT))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        *sessionCount = count;
        lockTables();
        tables.listRead[device] = TRUE;
        unlockTables();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl **session) override
    {
        *session = NULL;
        if (stepFails(SESSION_STEP_GET_SESSION))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        if (index < 0 || index >= count)
            return E_INVALIDARG;
        *session = new SessionControl(slots[index], records[index]);
        return S_OK;
    }
};

static BOOL addCreationListener(LONG device, IAudioSessionNotification *listener, LONG madeAfterStops)
{
    BOOL added = FALSE;
    lockTables();
    for (LONG i = 0; i < MAX_SESSION_LISTENERS && !added; ++i) {
        if (tables.creationListeners[i] != NULL)
            continue;
        tables.creationListeners[i] = listener;
        tables.creationDevice[i] = device;
        tables.creationMadeAfterStops[i] = madeAfterStops;
        added = TRUE;
    }
    unlockTables();
    return added;
}

static BOOL removeCreationListener(LONG device, IAudioSessionNotification *listener)
{
    BOOL found = FALSE;
    lockTables();
    for (LONG i = 0; i < MAX_SESSION_LISTENERS && !found; ++i) {
        if (listener == NULL || tables.creationListeners[i] != listener || tables.creationDevice[i] != device)
            continue;
        tables.creationListeners[i] = NULL;
        found = TRUE;
    }
    unlockTables();
    return found;
}

struct SessionManager : Counted<IAudioSessionManager2> {
    LONG device;
    LONG madeAfterStops = simulatedSpeakers.serviceStops;
    BOOL firstVersionOnly = simulatedSessions.failing[SESSION_STEP_MANAGER] != 0;
    explicit SessionManager(LONG onDevice) : device(onDevice) {}
    BOOL lacksSecondVersion(void)
    {
        if (firstVersionOnly)
            InterlockedIncrement(&simulatedSessions.callsVistaLacks);
        return firstVersionOnly;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        // Vista's manager has no second version.
        BOOL second = IsEqualIID(iid, __uuidof(IAudioSessionManager2));
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IAudioSessionManager)) ||
            (second && !firstVersionOnly))
            return answer(static_cast<IAudioSessionManager2 *>(this), object);
        *object = NULL;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator **sessions) override
    {
        *sessions = NULL;
        if (lacksSecondVersion())
            return E_UNEXPECTED;
        if (stepFails(SESSION_STEP_ENUMERATOR))
            return E_NOTIMPL;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        *sessions = new SessionEnumerator(device);
        void (*listed)(LONG) = simulatedSessions.listed;
        if (listed != NULL)
            listed(device);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterSessionNotification(IAudioSessionNotification *listener) override
    {
        noteRegistration();
        if (lacksSecondVersion())
            return E_UNEXPECTED;
        if (stepFails(SESSION_STEP_CREATED_NOTICES))
            return E_NOTIMPL;
        if (!audioServiceServes(madeAfterStops))
            return audioServiceAnswer(madeAfterStops);
        if (listener == NULL)
            return E_POINTER;
        if (!addCreationListener(device, listener, madeAfterStops))
            return E_OUTOFMEMORY;
        listener->AddRef();
        InterlockedIncrement(&simulatedSessions.creationListeners);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterSessionNotification(IAudioSessionNotification *listener) override
    {
        if (lacksSecondVersion())
            return E_UNEXPECTED;
        BOOL found = removeCreationListener(device, listener);
        noteUnregistration();
        if (!found)
            return E_NOTFOUND;
        InterlockedDecrement(&simulatedSessions.creationListeners);
        listener->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAudioSessionControl(LPCGUID, DWORD, IAudioSessionControl **) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSimpleAudioVolume(LPCGUID, DWORD, ISimpleAudioVolume **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterDuckNotification(LPCWSTR, IAudioVolumeDuckNotification *) override
    {
        return lacksSecondVersion() ? E_UNEXPECTED : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterDuckNotification(IAudioVolumeDuckNotification *) override
    {
        return lacksSecondVersion() ? E_UNEXPECTED : E_NOTIMPL;
    }
};

BOOL isSessionManagerInterface(REFIID iid)
{
    return IsEqualIID(iid, __uuidof(IAudioSessionManager)) || IsEqualIID(iid, __uuidof(IAudioSessionManager2));
}

HRESULT activateSessionManager(LONG device, REFIID iid, void **object)
{
    *object = NULL;
    if (stepFails(SESSION_STEP_MANAGER) && IsEqualIID(iid, __uuidof(IAudioSessionManager2)))
        return E_NOINTERFACE;
    if (device < 0 || device >= MAX_SESSION_DEVICES)
        return E_INVALIDARG;
    if (simulatedSpeakers.serviceStopped)
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (simulatedSessions.managerFailuresToCome[device] > 0) {
        InterlockedDecrement(&simulatedSessions.managerFailuresToCome[device]);
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    SessionManager *manager = new SessionManager(device);
    HRESULT result = manager->QueryInterface(iid, object);
    manager->Release();
    return result;
}

void resetSimulatedSessions(void)
{
    lockTables();
    for (SessionRecord &record : tables.sessions) {
        record.live = FALSE;
        ++record.generation;
    }
    for (BOOL &read : tables.listRead)
        read = FALSE;
    unlockTables();
    simulatedSessions.silent = 0;
    simulatedSessions.announcedUnlisted = 0;
    simulatedSessions.sharedByProcesses = 0;
    simulatedSessions.callsVistaLacks = 0;
    for (volatile LONG &failures : simulatedSessions.managerFailuresToCome)
        failures = 0;
    for (int step = 0; step < SESSION_STEP_COUNT; ++step) {
        simulatedSessions.failing[step] = 0;
        simulatedSessions.calls[step] = 0;
    }
    simulatedSessions.noticesSent = 0;
    simulatedSessions.listed = NULL;
}

// Each creation listener of the device gets a control of its own, released after the call.
static void tellSessionCreated(LONG slot)
{
    IAudioSessionNotification *listeners[MAX_SESSION_LISTENERS];
    LONG count = 0;
    SessionRecord record;
    beginTelling();
    lockTables();
    SessionRecord &told = tables.sessions[slot];
    if (tables.listRead[told.device]) {
        for (LONG i = 0; i < MAX_SESSION_LISTENERS; ++i) {
            if (tables.creationListeners[i] != NULL && tables.creationDevice[i] == told.device &&
                audioServiceServes(tables.creationMadeAfterStops[i]))
                listeners[count++] = tables.creationListeners[i];
        }
    }
    // Only a session announced to someone can be one its enumerators do not know.
    if (count > 0 && simulatedSessions.announcedUnlisted) {
        told.listing = SESSION_ANNOUNCED_UNLISTED;
        told.announcedHeld = count;
    }
    record = told;
    unlockTables();
    for (LONG i = 0; i < count; ++i) {
        SessionControl *control = new SessionControl(slot, record, record.listing == SESSION_ANNOUNCED_UNLISTED);
        IAudioSessionNotification *listener = listeners[i];
        InterlockedIncrement(&simulatedSessions.noticesSent);
        deliverNotice([=] { (void)listener->OnSessionCreated(control); }, control);
    }
    endTelling();
}

LONG addSimulatedSession(LONG device, DWORD processId, AudioSessionState state, BOOL systemSounds)
{
    if (device < 0 || device >= MAX_SESSION_DEVICES)
        return NO_SESSION;
    LONG slot = NO_SESSION;
    lockTables();
    for (LONG i = 0; i < MAX_SIMULATED_SESSIONS && slot == NO_SESSION; ++i) {
        SessionRecord &record = tables.sessions[i];
        if (record.live)
            continue;
        record.live = TRUE;
        ++record.generation;
        record.device = device;
        record.processId = processId;
        record.state = state;
        record.systemSounds = systemSounds;
        record.sharedByProcesses = simulatedSessions.sharedByProcesses != 0;
        record.listing = SESSION_LISTED;
        record.announcedHeld = 0;
        slot = i;
    }
    unlockTables();
    if (slot != NO_SESSION && !simulatedSessions.silent)
        tellSessionCreated(slot);
    return slot;
}

// The listener holds a reference of the platform's until it is unregistered, and an
// unregistration waits for the notices under way: it lives while called.
static void tellStateChanged(IAudioSessionEvents *listener, AudioSessionState state)
{
    deliverNotice([=] { (void)listener->OnStateChanged(state); });
}

static void tellDisconnected(IAudioSessionEvents *listener, AudioSessionDisconnectReason reason)
{
    deliverNotice([=] { (void)listener->OnSessionDisconnected(reason); });
}

// A snapshot of the session's listeners under the lock; the calls go out after it.
static LONG listenersOf(LONG slot, LONG generation, IAudioSessionEvents *(&listeners)[MAX_SESSION_LISTENERS])
{
    LONG count = 0;
    if (simulatedSessions.silent)
        return 0;
    lockTables();
    for (LONG i = 0; i < MAX_SESSION_LISTENERS; ++i) {
        if (tables.stateListeners[i] != NULL && tables.stateSession[i] == slot &&
            tables.stateGeneration[i] == generation && audioServiceServes(tables.stateMadeAfterStops[i]))
            listeners[count++] = tables.stateListeners[i];
    }
    unlockTables();
    return count;
}

void setSimulatedSessionState(LONG session, AudioSessionState state)
{
    if (!validSession(session))
        return;
    lockTables();
    SessionRecord &record = tables.sessions[session];
    BOOL changed = record.live && record.state != state;
    if (changed)
        record.state = state;
    LONG generation = record.generation;
    unlockTables();
    if (!changed)
        return;
    IAudioSessionEvents *listeners[MAX_SESSION_LISTENERS];
    beginTelling();
    LONG count = listenersOf(session, generation, listeners);
    (void)InterlockedExchangeAdd(&simulatedSessions.noticesSent, count);
    for (LONG i = 0; i < count; ++i)
        tellStateChanged(listeners[i], state);
    endTelling();
}

// Under the lock: the session is gone; FALSE when it was gone already.
static BOOL endSession(LONG session, LONG &generation)
{
    SessionRecord &record = tables.sessions[session];
    BOOL wasLive = record.live;
    record.live = FALSE;
    generation = record.generation;
    return wasLive;
}

// Ends a live session, then tells its listeners outside the lock: as expired, or as cut off
// for the reason given (NOT_DISCONNECTED: it just ended).
static const LONG NOT_DISCONNECTED = -1;

static void endSessionAndTell(LONG session, LONG reason)
{
    if (!validSession(session))
        return;
    LONG generation;
    lockTables();
    BOOL ended = endSession(session, generation);
    unlockTables();
    if (!ended)
        return;
    IAudioSessionEvents *listeners[MAX_SESSION_LISTENERS];
    beginTelling();
    LONG count = listenersOf(session, generation, listeners);
    (void)InterlockedExchangeAdd(&simulatedSessions.noticesSent, count);
    for (LONG i = 0; i < count; ++i) {
        if (reason == NOT_DISCONNECTED)
            tellStateChanged(listeners[i], AudioSessionStateExpired);
        else
            tellDisconnected(listeners[i], (AudioSessionDisconnectReason)reason);
    }
    endTelling();
}

void removeSimulatedSession(LONG session)
{
    endSessionAndTell(session, NOT_DISCONNECTED);
}

void disconnectSimulatedSession(LONG session, LONG reason)
{
    endSessionAndTell(session, reason);
}

AudioSessionState simulatedSessionState(LONG session)
{
    if (!validSession(session))
        return AudioSessionStateExpired;
    lockTables();
    const SessionRecord &record = tables.sessions[session];
    AudioSessionState state = record.live ? record.state : AudioSessionStateExpired;
    unlockTables();
    return state;
}

LONG simulatedSessionDevice(LONG session)
{
    if (!validSession(session))
        return NO_SESSION;
    lockTables();
    const SessionRecord &record = tables.sessions[session];
    LONG device = record.live ? record.device : (LONG)NO_SESSION;
    unlockTables();
    return device;
}

// --- the audio service stopping and starting again -------------------------------------------

// Every listener the service still serves, once each, whichever session it listens to.
void tellSessionsServerShutdown(void)
{
    IAudioSessionEvents *listeners[MAX_SESSION_LISTENERS];
    LONG count = 0;
    if (simulatedSessions.silent)
        return;
    beginTelling();
    lockTables();
    for (LONG i = 0; i < MAX_SESSION_LISTENERS; ++i) {
        if (tables.stateListeners[i] != NULL && audioServiceServes(tables.stateMadeAfterStops[i]))
            listeners[count++] = tables.stateListeners[i];
    }
    unlockTables();
    (void)InterlockedExchangeAdd(&simulatedSessions.noticesSent, count);
    for (LONG i = 0; i < count; ++i)
        tellDisconnected(listeners[i], DisconnectReasonServerShutdown);
    endTelling();
}

void forgetSessionListsRead(void)
{
    lockTables();
    for (BOOL &read : tables.listRead)
        read = FALSE;
    unlockTables();
}
