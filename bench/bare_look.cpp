// The look at the capture sessions made bare: the same platform calls the plug-in's look makes,
// without the plug-in, for the session growth room to set each of its rows beside. The
// microphones' layout is shared with that room.
#include "bench.h"

#include <objbase.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "simulated_sessions.h"
#include "simulated_speakers.h"

LONG microphoneAt(LONG index)
{
    if (index == 0)
        return MICROPHONE;
    if (index == 1)
        return HEADSET;
    return FIRST_EXTRA_MICROPHONE + index - 2;
}

// Listens to nothing: it stands where the plug-in's state notices stand, so that the bare look's
// registrations cost what the plug-in's do.
struct BareSessionEvents : IAudioSessionEvents {
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(IAudioSessionEvents))) {
            *object = NULL;
            return E_NOINTERFACE;
        }
        *object = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason) override { return S_OK; }
};
static BareSessionEvents bareSessionEvents;

// The session managers are kept for each microphone, as the plug-in keeps them between looks.
struct BareLook {
    IAudioSessionManager2 *managers[MICROPHONES];
    IAudioSessionControl2 *watched[MAX_SIMULATED_SESSIONS];
    LONG watchedCount;
};
static BareLook bareLook;

void openBareLook(void)
{
    IMMDeviceEnumerator *enumerator = NULL;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), (void **)&enumerator)))
        return;
    for (LONG i = 0; i < MICROPHONES; ++i) {
        IMMDevice *device = NULL;
        if (FAILED(enumerator->GetDevice(speakerDeviceId(microphoneAt(i)), &device)) || device == NULL)
            continue;
        if (FAILED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, NULL,
                                    (void **)&bareLook.managers[i])))
            bareLook.managers[i] = NULL;
        device->Release();
    }
    enumerator->Release();
}

static void unwatchBareSessions(void)
{
    for (LONG i = 0; i < bareLook.watchedCount; ++i) {
        (void)bareLook.watched[i]->UnregisterAudioSessionNotification(&bareSessionEvents);
        bareLook.watched[i]->Release();
    }
    bareLook.watchedCount = 0;
}

void closeBareLook(void)
{
    unwatchBareSessions();
    for (IAudioSessionManager2 *&manager : bareLook.managers) {
        if (manager != NULL)
            manager->Release();
        manager = NULL;
    }
}

// Each program capturing is asked its creation time, once a look, as the plug-in tells a program
// from another that took its id.
static void readCreationTimes(const DWORD *processIds, LONG count)
{
    for (LONG i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processIds[i]);
        if (process == NULL)
            continue;
        FILETIME created, exited, kernel, user;
        (void)GetProcessTimes(process, &created, &exited, &kernel, &user);
        (void)CloseHandle(process);
    }
}

static void noteCapturing(DWORD processId, DWORD (&processIds)[MAX_SIMULATED_SESSIONS], LONG &count)
{
    for (LONG i = 0; i < count; ++i) {
        if (processIds[i] == processId)
            return;
    }
    if (count < MAX_SIMULATED_SESSIONS)
        processIds[count++] = processId;
}

// What the plug-in's look asks of the platform: the sessions watched before let go, then every
// microphone's list read, each session's kind, program and state, each watched for its notices,
// and the creation time of each program capturing.
void lookBare(void)
{
    unwatchBareSessions();
    DWORD capturing[MAX_SIMULATED_SESSIONS];
    LONG capturingCount = 0;
    for (IAudioSessionManager2 *manager : bareLook.managers) {
        IAudioSessionEnumerator *list = NULL;
        if (manager == NULL || FAILED(manager->GetSessionEnumerator(&list)) || list == NULL)
            continue;
        int count = 0;
        (void)list->GetCount(&count);
        for (int index = 0; index < count; ++index) {
            IAudioSessionControl *control = NULL;
            if (FAILED(list->GetSession(index, &control)) || control == NULL)
                continue;
            IAudioSessionControl2 *session = NULL;
            if (SUCCEEDED(control->QueryInterface(__uuidof(IAudioSessionControl2), (void **)&session)) &&
                session != NULL) {
                DWORD processId = 0;
                AudioSessionState state = AudioSessionStateInactive;
                if (session->IsSystemSoundsSession() != S_OK && SUCCEEDED(session->GetProcessId(&processId)) &&
                    bareLook.watchedCount < MAX_SIMULATED_SESSIONS &&
                    SUCCEEDED(session->RegisterAudioSessionNotification(&bareSessionEvents))) {
                    session->AddRef();
                    bareLook.watched[bareLook.watchedCount++] = session;
                }
                (void)session->GetState(&state);
                if (state == AudioSessionStateActive && processId != 0)
                    noteCapturing(processId, capturing, capturingCount);
                session->Release();
            }
            control->Release();
        }
        list->Release();
    }
    readCreationTimes(capturing, capturingCount);
}

LONG bareSessionsWatched(void)
{
    return bareLook.watchedCount;
}
