// The audio sessions of the player's own process, through which Windows 7 and later tell on
// which render endpoint the music plays: an output plug-in may play on a device of its own
// choosing while the default is another. The output lookup asks which endpoint holds the
// active one; the watch thread registers for the notices that say it may have changed. Where
// the session interfaces are missing (Vista) nothing is found and the default device stands in.
#include <objbase.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "engine/player_sessions.h"

#include "engine/audio_platform.h"
#include "engine/static_notices.h"
#include "engine/wake_signals.h"

PlayerSessionWatch playerSessionWatch;

// A session of this process, not its share of the system sounds.
static BOOL isPlayerSession(IAudioSessionControl *session)
{
    IAudioSessionControl2 *control = NULL;
    if (FAILED(session->QueryInterface(__uuidof(IAudioSessionControl2), (void **)&control)) || control == NULL)
        return FALSE;
    DWORD owner = 0;
    // A session shared by several processes answers a success of its own, naming the one that
    // made it: the player's output may share its session with a helper process.
    BOOL own = SUCCEEDED(control->GetProcessId(&owner)) && owner == GetCurrentProcessId() &&
               control->IsSystemSoundsSession() == S_FALSE;
    control->Release();
    return own;
}

static BOOL isActive(IAudioSessionControl *session)
{
    AudioSessionState state = AudioSessionStateInactive;
    return SUCCEEDED(session->GetState(&state)) && state == AudioSessionStateActive;
}

// Vista has no second version of the manager.
static IAudioSessionManager2 *openSessionManager(IMMDevice *device, HRESULT &activated)
{
    IAudioSessionManager2 *manager = NULL;
    activated = device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, NULL, (void **)&manager);
    return SUCCEEDED(activated) ? manager : NULL;
}

// Wine's manager cannot list its sessions.
static IAudioSessionEnumerator *listSessions(IAudioSessionManager2 *manager, HRESULT &listed)
{
    IAudioSessionEnumerator *sessions = NULL;
    listed = manager->GetSessionEnumerator(&sessions);
    return SUCCEEDED(listed) ? sessions : NULL;
}

static BOOL noteActivePlayerSession(IAudioSessionControl *session, void *holds)
{
    if (isPlayerSession(session) && isActive(session))
        *(BOOL *)holds = TRUE;
    return TRUE;
}

static BOOL holdsActivePlayerSession(IMMDevice *device)
{
    HRESULT result;
    IAudioSessionManager2 *manager = openSessionManager(device, result);
    if (manager == NULL)
        return FALSE;
    IAudioSessionEnumerator *sessions = listSessions(manager, result);
    manager->Release();
    if (sessions == NULL)
        return FALSE;
    BOOL holds = FALSE;
    (void)visitListedSessions(sessions, noteActivePlayerSession, &holds);
    sessions->Release();
    return holds;
}

BOOL findPlayerSessionEndpoint(IMMDeviceEnumerator *enumerator, const WCHAR *preferred,
                               WCHAR (&id)[DEVICE_ID_CAPACITY])
{
    id[0] = L'\0';
    IMMDeviceCollection *devices = NULL;
    if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices)) || devices == NULL)
        return FALSE;
    UINT count = 0;
    if (FAILED(devices->GetCount(&count)))
        count = 0;
    // Sessions on several endpoints: the one watched already stays, else the first.
    BOOL settled = FALSE;
    for (UINT index = 0; index < count && !settled; ++index) {
        IMMDevice *device = NULL;
        if (FAILED(devices->Item(index, &device)) || device == NULL)
            continue;
        WCHAR candidate[DEVICE_ID_CAPACITY];
        if (holdsActivePlayerSession(device) && readDeviceId(device, candidate)) {
            settled = sameDeviceId(candidate, preferred);
            if (settled || id[0] == L'\0')
                (void)lstrcpynW(id, candidate, DEVICE_ID_CAPACITY);
        }
        device->Release();
    }
    devices->Release();
    return id[0] != L'\0';
}

// --- the notices, on the watch thread --------------------------------------------------------

static HRESULT playerSessionsChanged(void)
{
    InterlockedIncrement(&playerSessionWatch.changes);
    wakeWatchLoop();
    return S_OK;
}

// One static object of each kind serves every endpoint and every session watched: each only
// asks for a new look and wakes the loop, the new session's control kept for the watch that
// follows.
struct SessionCreatedNotices : StaticNotices<IAudioSessionNotification> {
    HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl *control) override
    {
        (void)keepHandedOver(playerSessionWatch.handedOver, PLAYER_SESSION_CAPACITY, control);
        InterlockedExchange(&playerSessionWatch.sessionNoticesStale, 1);
        return playerSessionsChanged();
    }
};

struct SessionStateNotices : StaticNotices<IAudioSessionEvents> {
    HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState) override { return playerSessionsChanged(); }
    HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason reason) override
    {
        // The audio service going away cuts off the player's sessions as surely as the others'.
        noteSessionCutOff(reason);
        InterlockedExchange(&playerSessionWatch.sessionNoticesStale, 1);
        return playerSessionsChanged();
    }
    HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float *, DWORD, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
};

static const SessionCreatedNotices sessionCreatedNotices{};
static const SessionStateNotices sessionStateNotices{};

static BOOL watchIfPlayers(IAudioSessionControl *session, void *)
{
    return !isPlayerSession(session) ||
           watchSessionState(playerSessionWatch.playerSessions, session, callbackOf(sessionStateNotices));
}

static BOOL keepManager(IAudioSessionManager2 *manager)
{
    for (IAudioSessionManager2 *&slot : playerSessionWatch.sessionManagers) {
        if (slot == NULL) {
            slot = manager;
            return TRUE;
        }
    }
    return FALSE;
}

// An endpoint that cannot list its sessions can never show one of the player's: there is
// nothing to watch there, and its missing notices take nothing away.
static BOOL cannotListSessions(IAudioSessionManager2 *manager)
{
    HRESULT listed;
    IAudioSessionEnumerator *sessions = listSessions(manager, listed);
    if (sessions != NULL)
        sessions->Release();
    return listed == E_NOTIMPL;
}

// Registered before the list is read, so that a session made between the two is not missed.
// TRUE when the endpoint is watched as far as it can be.
static BOOL watchEndpoint(IMMDevice *device)
{
    HRESULT result;
    IAudioSessionManager2 *manager = openSessionManager(device, result);
    // The interface came with Windows 7: where one endpoint lacks it, all do.
    if (result == E_NOINTERFACE || SUCCEEDED(result))
        InterlockedExchange(&playerSessionWatch.sessionInterfacesMissing, result == E_NOINTERFACE);
    if (manager == NULL)
        return result == E_NOINTERFACE;
    if (FAILED(manager->RegisterSessionNotification(callbackOf(sessionCreatedNotices)))) {
        BOOL nothingToWatch = cannotListSessions(manager);
        manager->Release();
        return nothingToWatch;
    }
    // Kept only while registered.
    if (!keepManager(manager)) {
        if (FAILED(manager->UnregisterSessionNotification(callbackOf(sessionCreatedNotices))))
            noteCallbacksMayCome();
        manager->Release();
        return FALSE;
    }
    IAudioSessionEnumerator *sessions = listSessions(manager, result);
    if (sessions == NULL)
        return result == E_NOTIMPL;
    // Windows sends no new-session notices until the list has been counted once.
    BOOL complete = visitListedSessions(sessions, watchIfPlayers, NULL);
    sessions->Release();
    return complete;
}

// Every registration undone before its object goes; one that fails leaves a callback that may
// still come, which keeps the module mapped. The controls handed over stay for the watch.
static void letTheWatchGo(void)
{
    playerSessionWatch.sessionNoticesHold = FALSE;
    unwatchSessionStates(playerSessionWatch.playerSessions, callbackOf(sessionStateNotices));
    for (IAudioSessionManager2 *&manager : playerSessionWatch.sessionManagers) {
        if (manager == NULL)
            continue;
        if (FAILED(manager->UnregisterSessionNotification(callbackOf(sessionCreatedNotices))))
            noteCallbacksMayCome();
        manager->Release();
        manager = NULL;
    }
}

static void watchPlayerSessions(void)
{
    letTheWatchGo();
    // The sessions announced since the last watch, watched from the control each announcement
    // handed over (a list taken later need not show them), ahead of the listed ones.
    (void)takeHandedOver(playerSessionWatch.handedOver, PLAYER_SESSION_CAPACITY, watchIfPlayers, NULL);
    IMMDeviceEnumerator *enumerator = keptDeviceEnumerator();
    IMMDeviceCollection *devices = NULL;
    if (enumerator == NULL || FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices)) ||
        devices == NULL)
        return;
    UINT count = 0;
    BOOL complete = SUCCEEDED(devices->GetCount(&count));
    for (UINT index = 0; index < count; ++index) {
        IMMDevice *device = NULL;
        if (FAILED(devices->Item(index, &device)) || device == NULL) {
            complete = FALSE;
            continue;
        }
        complete = watchEndpoint(device) && complete;
        device->Release();
    }
    devices->Release();
    playerSessionWatch.sessionNoticesHold = complete;
}

// Notices from before the start are no news to it.
void startWatchingPlayerSessions(void)
{
    playerSessionWatch.sessionNoticesStale = 0;
    playerSessionWatch.endpointChangesSeen = endpointChangeCount();
    watchPlayerSessions();
}

// A notice that asked for a new watch has had its poll already: the poll that follows looks up
// the output with the registrations in place, so that no change slips between the two.
void keepWatchingPlayerSessions(void)
{
    LONG endpointChanges = endpointChangeCount();
    BOOL endpointsChanged = endpointChanges != playerSessionWatch.endpointChangesSeen;
    playerSessionWatch.endpointChangesSeen = endpointChanges;
    BOOL noticed = InterlockedExchange(&playerSessionWatch.sessionNoticesStale, 0) != 0 || endpointsChanged;
    if (!noticed && playerSessionWatch.sessionNoticesHold)
        return;
    watchPlayerSessions();
    if (noticed)
        (void)playerSessionsChanged();
}

void unwatchPlayerSessions(void)
{
    letTheWatchGo();
    (void)takeHandedOver(playerSessionWatch.handedOver, PLAYER_SESSION_CAPACITY, NULL, NULL);
}
