// The bare loop each of the plug-in's figures is set beside: the platform calls the plug-in
// makes, in a watch loop of its own without signals that sleeps in 100 ms slices.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

#include <mmsystem.h>
#include <objbase.h>

#include <devicetopology.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "conditions.h"
#include "import_patch.h"
#include "player_window.h"

static void(WINAPI *realSleep)(DWORD);

// --- the bare calls ---------------------------------------------------------------------

static HMIXER bareMixer;
static DWORD bareMuteControl;
static CRITICAL_SECTION bareMixerLock;

BOOL speakersApply;

// The slice loop's thread keeps one, as the watch thread keeps its own: made in the thread's
// apartment when it starts, released when it ends, lent to every read in between.
static IMMDeviceEnumerator *bareEnumerator;

static IMMDeviceEnumerator *borrowBareEnumerator(void)
{
    if (bareEnumerator != NULL)
        bareEnumerator->AddRef();
    return bareEnumerator;
}

// What the plug-in does for one read of the default speakers' mute: its kept enumerator
// borrowed, inside the calling thread's apartment.
static BOOL bareEndpointRead(void)
{
    HRESULT apartment = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    BOOL muted = FALSE;
    IMMDeviceEnumerator *enumerator = borrowBareEnumerator();
    if (enumerator != NULL) {
        IMMDevice *device = NULL;
        IAudioEndpointVolume *speakers = NULL;
        if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) && device != NULL) {
            if (FAILED(device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                        (void **)&speakers)))
                speakers = NULL;
            device->Release();
        }
        enumerator->Release();
        if (speakers != NULL) {
            (void)speakers->GetMute(&muted);
            speakers->Release();
        }
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
    return muted;
}

// The output's jacks, opened once as the plug-in opens them: its topology's connector, the
// adapter's part it is connected to, and the jacks of that part that tell their presence.
static IKsJackDescription *bareJacks;
static DWORD bareJacksTelling;
enum { BARE_MAX_JACKS = 32 };

static IPart *bareAdapterPart(IMMDevice *device)
{
    IDeviceTopology *topology = NULL;
    IConnector *endpointSide = NULL, *adapterSide = NULL;
    IPart *part = NULL;
    if (FAILED(device->Activate(__uuidof(IDeviceTopology), CLSCTX_ALL, NULL, (void **)&topology)))
        return NULL;
    if (SUCCEEDED(topology->GetConnector(0, &endpointSide))) {
        if (SUCCEEDED(endpointSide->GetConnectedTo(&adapterSide))) {
            (void)adapterSide->QueryInterface(__uuidof(IPart), (void **)&part);
            adapterSide->Release();
        }
        endpointSide->Release();
    }
    topology->Release();
    return part;
}

static void openBareJacks(IMMDevice *device)
{
    IPart *part = bareAdapterPart(device);
    if (part == NULL)
        return;
    IKsJackDescription2 *described = NULL;
    if (SUCCEEDED(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription2), (void **)&described)) &&
        SUCCEEDED(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription), (void **)&bareJacks))) {
        UINT count = 0;
        (void)described->GetJackCount(&count);
        // The jacks that tell their presence, but for built-in speakers, which cannot be pulled.
        for (UINT jack = 0; jack < count && jack < BARE_MAX_JACKS; ++jack) {
            KSJACK_DESCRIPTION2 capabilities = {};
            KSJACK_DESCRIPTION now = {};
            if (SUCCEEDED(described->GetJackDescription2(jack, &capabilities)) && (capabilities.JackCapabilities & 1) &&
                SUCCEEDED(bareJacks->GetJackDescription(jack, &now)) && now.PortConnection != ePortConnIntegratedDevice)
                bareJacksTelling |= 1UL << jack;
        }
    }
    if (described != NULL)
        described->Release();
    part->Release();
}

// What the plug-in reads at every poll while the music plays on an output with such jacks.
static void readBareJacks(void)
{
    for (DWORD jack = 0; bareJacks != NULL && jack < BARE_MAX_JACKS; ++jack) {
        KSJACK_DESCRIPTION description = {};
        if ((bareJacksTelling & (1UL << jack)) != 0)
            (void)bareJacks->GetJackDescription(jack, &description);
    }
}

enum { BARE_DEVICE_ID_CAPACITY = 256 };
// The output the music plays on, looked up once when the loop starts: Wine's sessions cannot be
// listed, so it is the default render device, and with every device notice registered the
// plug-in looks it up again only when a notice asks.
static WCHAR bareOutput[BARE_DEVICE_ID_CAPACITY];

static void lookUpBareOutput(void)
{
    bareOutput[0] = L'\0';
    IMMDevice *device = NULL;
    if (bareEnumerator == NULL || FAILED(bareEnumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) ||
        device == NULL)
        return;
    LPWSTR text = NULL;
    if (SUCCEEDED(device->GetId(&text)) && text != NULL && lstrlenW(text) < BARE_DEVICE_ID_CAPACITY)
        (void)lstrcpynW(bareOutput, text, BARE_DEVICE_ID_CAPACITY);
    CoTaskMemFree(text);
    openBareJacks(device);
    device->Release();
}

// What the plug-in asks at every poll while the player plays: whether the output it keeps is
// still there, and what its jacks that tell their presence say.
static void bareOutputCheck(void)
{
    HRESULT apartment = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IMMDeviceEnumerator *enumerator = borrowBareEnumerator();
    if (enumerator != NULL) {
        IMMDevice *device = NULL;
        if (bareOutput[0] != L'\0' && SUCCEEDED(enumerator->GetDevice(bareOutput, &device)) && device != NULL) {
            DWORD state = 0;
            (void)device->GetState(&state);
            device->Release();
            readBareJacks();
        }
        enumerator->Release();
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
}

// The session's notices would set it; none come to the bare loop.
static volatile LONG bareSessionLocked;

static BOOL bareLocked(LockTerm lockTerm)
{
    if (lockTerm == LOCK_FROM_NOTICES)
        return bareSessionLocked != 0;
    BOOL locked = TRUE;
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
    if (desktop != NULL) {
        locked = !SwitchDesktop(desktop);
        CloseDesktop(desktop);
    }
    return locked;
}

// The three conditions, probed by the calls the plug-in makes, decided as it decides them.
static BOOL bareConditions(LockTerm lockTerm)
{
    BOOL running = FALSE;
    (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
    BOOL locked = bareLocked(lockTerm);
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = bareMuteControl;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    EnterCriticalSection(&bareMixerLock);
    (void)mixerGetControlDetailsA((HMIXEROBJ)bareMixer, &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    LeaveCriticalSection(&bareMixerLock);
    BOOL muted = value.fValue != 0;
    if (!muted && speakersApply)
        muted = bareEndpointRead();
    return running || locked || muted;
}

// --- the bare slice loop ------------------------------------------------------------------

SliceLoop sliceLoop;

void prepareBareLoop(void)
{
    bindSystemFunction(realSleep, "kernel32.dll", "Sleep");  // the bare loop sleeps through it
    InitializeCriticalSection(&sliceLoop.stopLock);
    InitializeCriticalSection(&bareMixerLock);
    speakersApply = speakersAreTheUsersMute();
    (void)conditionMuteControl(bareMixer, bareMuteControl);
}

// What the bare loop finds: whether a condition holds, or FALSE where it does not look (the
// player neither plays nor is paused by the loop).
static BOOL barePollFinds(LockTerm lockTerm, BOOL pausedByLoop)
{
    LRESULT state = SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
    BOOL playing = state == PLAY_STATE_PLAYING;
    if (playing && speakersApply)
        bareOutputCheck();
    if (!pausedByLoop && !playing)
        return FALSE;
    return bareConditions(lockTerm);
}

static void slicePoll(void)
{
    BOOL hold = barePollFinds(sliceLoop.lockTerm, sliceLoop.pausedByLoop != 0);
    if (!sliceLoop.reacts || hold == (sliceLoop.pausedByLoop != 0))
        return;
    sliceLoop.pausedByLoop = hold;
    (void)SendMessageA(playerWindow.hwnd, WM_COMMAND, CMD_PAUSE, 0);
}

// The enumerator is made in the calling thread's apartment, which stays entered until the end.
HRESULT beginBareCalls(void)
{
    HRESULT apartment = speakersApply ? CoInitializeEx(NULL, COINIT_MULTITHREADED) : E_NOTIMPL;
    if (speakersApply && FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                                 __uuidof(IMMDeviceEnumerator), (void **)&bareEnumerator)))
        bareEnumerator = NULL;
    lookUpBareOutput();
    return apartment;
}

void endBareCalls(HRESULT apartment)
{
    if (bareJacks != NULL)
        bareJacks->Release();
    bareJacks = NULL;
    bareJacksTelling = 0;
    if (bareEnumerator != NULL)
        bareEnumerator->Release();
    bareEnumerator = NULL;
    if (SUCCEEDED(apartment))
        CoUninitialize();
}

void barePoll(LockTerm lockTerm)
{
    (void)barePollFinds(lockTerm, FALSE);
}

static BOOL sliceLoopStopRequested(void)
{
    EnterCriticalSection(&sliceLoop.stopLock);
    BOOL stop = sliceLoop.stop != 0;
    LeaveCriticalSection(&sliceLoop.stopLock);
    return stop;
}

// In an apartment of its own for its whole life, as the watch thread is, with its enumerator
// and the output looked up before the first poll.
static DWORD WINAPI runSliceLoop(LPVOID)
{
    HRESULT apartment = beginBareCalls();
    for (;;) {
        double start = nowMs();
        slicePoll();
        if (sliceLoop.timesPolls) {
            addSample(sliceLoop.pollTimes, nowMs() - start);
            if (speakersApply) {
                start = nowMs();
                (void)bareEndpointRead();
                addSample(sliceLoop.endpointReads, nowMs() - start);
            }
        }
        InterlockedIncrement(&sliceLoop.polls);
        for (DWORD slept = 0; slept < sliceLoop.interval; slept += 100) {
            if (sliceLoopStopRequested()) {
                endBareCalls(apartment);
                return 0;
            }
            InterlockedIncrement(&sliceLoop.sleeps);
            realSleep(100);
        }
    }
}

void startSliceLoop(DWORD interval, BOOL reacts, BOOL timesPolls, LockTerm lockTerm)
{
    sliceLoop.interval = interval;
    sliceLoop.lockTerm = lockTerm;
    sliceLoop.reacts = reacts;
    sliceLoop.timesPolls = timesPolls;
    sliceLoop.stop = 0;
    sliceLoop.polls = 0;
    sliceLoop.sleeps = 0;
    sliceLoop.pausedByLoop = 0;
    sliceLoop.thread = CreateThread(NULL, 0, runSliceLoop, NULL, 0, NULL);
    if (sliceLoop.thread == NULL) {
        fprintf(stderr, "hushgate_bench: cannot start the bare loop's thread\n");
        exit(1);
    }
}

// The loop may be sending to the player window: its sends are served until it has ended.
// MWMO_INPUTAVAILABLE, because a send already looked at by the peek would not wake the wait.
static void waitForThreadServingSends(HANDLE thread)
{
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            (void)TranslateMessage(&message);
            (void)DispatchMessageA(&message);
        }
        DWORD waited = MsgWaitForMultipleObjectsEx(1, &thread, 30000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_TIMEOUT || waited == WAIT_FAILED)
            return;
    }
}

double stopSliceLoop(void)
{
    double start = nowMs();
    EnterCriticalSection(&sliceLoop.stopLock);
    sliceLoop.stop = 1;
    LeaveCriticalSection(&sliceLoop.stopLock);
    waitForThreadServingSends(sliceLoop.thread);
    double quitMs = nowMs() - start;
    CloseHandle(sliceLoop.thread);
    sliceLoop.thread = NULL;
    return quitMs;
}
