// The player's side of the three conditions. The mute goes through a mixer handle of the
// player's own, the way a user's volume control would set it.
#include "conditions.h"

#include <mmsystem.h>

#include "import_patch.h"
#include "simulated_speakers.h"

// Bound from winmm itself rather than imported: when the plug-in is linked into the same
// program (the tests), intercepting its imports must not count the player's own calls.
struct MixerFunctions {
    MMRESULT(WINAPI *open)(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT(WINAPI *close)(HMIXER);
    MMRESULT(WINAPI *lineInfo)(HMIXEROBJ, LPMIXERLINEA, DWORD);
    MMRESULT(WINAPI *lineControls)(HMIXEROBJ, LPMIXERLINECONTROLSA, DWORD);
    MMRESULT(WINAPI *getDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
    MMRESULT(WINAPI *setDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
};
static MixerFunctions mixer;

static void bindMixerFunctions(void)
{
    if (mixer.open != NULL)
        return;
    bindSystemFunction(mixer.close, "winmm.dll", "mixerClose");
    bindSystemFunction(mixer.lineInfo, "winmm.dll", "mixerGetLineInfoA");
    bindSystemFunction(mixer.lineControls, "winmm.dll", "mixerGetLineControlsA");
    bindSystemFunction(mixer.getDetails, "winmm.dll", "mixerGetControlDetailsA");
    bindSystemFunction(mixer.setDetails, "winmm.dll", "mixerSetControlDetails");
    bindSystemFunction(mixer.open, "winmm.dll", "mixerOpen");
}

static HMIXER conditionMixer;
static DWORD muteControlId;
static BOOL muteControlFound;
static volatile LONG simulatedLock;
static BOOL(WINAPI *realSwitchDesktop)(HDESK);
static HDESK(WINAPI *realOpenInputDesktop)(DWORD, BOOL, ACCESS_MASK);
static FARPROC(WINAPI *realGetProcAddress)(HMODULE, LPCSTR);
static HMODULE(WINAPI *realLoadLibraryW)(LPCWSTR);
SimulatedSession simulatedSession;

void setScreenSaverRunning(BOOL running)
{
    BOOL previous;
    (void)SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, running ? 1 : 0, &previous, 0);
}

BOOL screenSaverRunning(void)
{
    BOOL running = FALSE;
    (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
    return running;
}

static BOOL findMuteControl(void)
{
    if (muteControlFound)
        return TRUE;
    bindMixerFunctions();
    if (conditionMixer == NULL && mixer.open(&conditionMixer, 0, 0, 0, 0) != MMSYSERR_NOERROR)
        return FALSE;
    MIXERLINEA line = {};
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    if (mixer.lineInfo((HMIXEROBJ)conditionMixer, &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE))
        return FALSE;
    MIXERCONTROLA control = {};
    control.cbStruct = sizeof control;
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = line.dwLineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    if (mixer.lineControls((HMIXEROBJ)conditionMixer, &controls,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE))
        return FALSE;
    muteControlId = control.dwControlID;
    muteControlFound = TRUE;
    return TRUE;
}

static BOOL muteDetails(MIXERCONTROLDETAILS_BOOLEAN *value, BOOL write)
{
    if (!findMuteControl())
        return FALSE;
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = muteControlId;
    details.cChannels = 1;
    details.cbDetails = sizeof *value;
    details.paDetails = value;
    DWORD flags = MIXER_OBJECTF_HMIXER;
    MMRESULT result = write ? mixer.setDetails((HMIXEROBJ)conditionMixer, &details, flags)
                            : mixer.getDetails((HMIXEROBJ)conditionMixer, &details, flags);
    return result == MMSYSERR_NOERROR;
}

BOOL conditionMuteControl(HMIXER &mixerHandle, DWORD &controlId)
{
    if (!findMuteControl())
        return FALSE;
    mixerHandle = conditionMixer;
    controlId = muteControlId;
    return TRUE;
}

BOOL setSystemMute(BOOL muted)
{
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    value.fValue = muted ? 1 : 0;
    return muteDetails(&value, TRUE);
}

LONG readSystemMute(void)
{
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    return muteDetails(&value, FALSE) ? value.fValue : 0;
}

void closeConditionMixer(void)
{
    if (conditionMixer != NULL)
        (void)mixer.close(conditionMixer);
    conditionMixer = NULL;
    muteControlFound = FALSE;
}

BOOL speakersAreTheUsersMute(void)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    (void)GetVersionExA(&version);
    return version.dwMajorVersion >= 6;
}

BOOL setUserMute(BOOL muted)
{
    if (!speakersAreTheUsersMute())
        return setSystemMute(muted);
    setSpeakersMuted(muted);
    return TRUE;
}

BOOL userMuteOn(void)
{
    return speakersAreTheUsersMute() ? speakersMuted() : readSystemMute() != 0;
}

const char *userMuteName(void)
{
    return speakersAreTheUsersMute() ? "speakers' mute (simulated endpoint)" : "master mute (mixer)";
}

HDESK lastDesktopSwitchedTo;
volatile LONG desktopSwitchesAsked;

static BOOL WINAPI lockAwareSwitchDesktop(HDESK desktop)
{
    lastDesktopSwitchedTo = desktop;
    InterlockedIncrement(&desktopSwitchesAsked);
    if (simulatedLock)
        return FALSE;
    return realSwitchDesktop(desktop);
}

static HDESK WINAPI secureAwareOpenInputDesktop(DWORD flags, BOOL inherit, ACCESS_MASK access)
{
    if (simulatedSession.secureDesktop) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    return realOpenInputDesktop(flags, inherit, access);
}

// WTSINFOEXW with its first level, as Windows lays it out.
struct SessionInfoEx {
    DWORD level;
    DWORD unionAlignment;
    ULONG sessionId;
    LONG connectState;
    LONG sessionFlags;
    WCHAR names[33 + 21 + 18];
    DWORD timeAlignment;
    LARGE_INTEGER times[5];
    DWORD counters[6];
};
static_assert(sizeof(SessionInfoEx) == 232, "WTSINFOEXW layout");

static const int WTS_SESSION_INFO_EX = 25;
static const LONG WTS_SESSIONSTATE_LOCK = 0, WTS_SESSIONSTATE_UNLOCK = 1, WTS_SESSIONSTATE_UNKNOWN = -1;
static SessionInfoEx sessionInfo;

// How a notice reaches the registered windows: handled before the call returns, on whichever
// thread they run; called at once on this thread and posted to another's; or posted.
enum NoticeDelivery { NOTICE_HANDLED_AT_ONCE, NOTICE_NOT_WAITED_FOR, NOTICE_POSTED };
static void changeLock(BOOL locked, NoticeDelivery delivery);

static void tellSessionWindows(WPARAM event, NoticeDelivery delivery)
{
    for (HWND window : simulatedSession.windows) {
        if (window == NULL)
            continue;
        if (delivery == NOTICE_HANDLED_AT_ONCE)
            (void)SendMessageA(window, WM_WTSSESSION_CHANGE, event, 0);
        else if (delivery == NOTICE_NOT_WAITED_FOR)
            (void)SendNotifyMessageA(window, WM_WTSSESSION_CHANGE, event, 0);
        else
            (void)PostMessageA(window, WM_WTSSESSION_CHANGE, event, 0);
    }
}

static BOOL WINAPI simulatedQuerySessionInformationW(HANDLE, DWORD, int infoClass, LPWSTR *buffer, DWORD *bytes)
{
    InterlockedIncrement(&simulatedSession.infoQueries);
    *buffer = NULL;
    *bytes = 0;
    if (infoClass != WTS_SESSION_INFO_EX || simulatedSession.infoAnswer == SESSION_INFO_FAILS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ZeroMemory(&sessionInfo, sizeof sessionInfo);
    sessionInfo.level = 1;
    BOOL locked = simulatedLock != 0;
    LONG flag = locked != (simulatedSession.windowsSeven != 0) ? WTS_SESSIONSTATE_LOCK : WTS_SESSIONSTATE_UNLOCK;
    sessionInfo.sessionFlags = simulatedSession.infoAnswer == SESSION_INFO_UNKNOWN ? WTS_SESSIONSTATE_UNKNOWN : flag;
    InterlockedIncrement(&simulatedSession.infoAnswersHeld);
    *buffer = (LPWSTR)&sessionInfo;
    *bytes = sizeof sessionInfo;
    if (InterlockedExchange(&simulatedSession.unlockWhileAsked, 0) != 0)
        changeLock(FALSE, NOTICE_HANDLED_AT_ONCE);
    return TRUE;
}

static void WINAPI simulatedFreeMemory(PVOID memory)
{
    if (memory == &sessionInfo)
        InterlockedDecrement(&simulatedSession.infoAnswersHeld);
}

static BOOL WINAPI simulatedRegisterSessionNotification(HWND window, DWORD)
{
    InterlockedIncrement(&simulatedSession.registerCalls);
    if (simulatedSession.failuresToCome > 0) {
        InterlockedDecrement(&simulatedSession.failuresToCome);
        SetLastError(RPC_S_INVALID_BINDING);
        return FALSE;
    }
    for (HWND &slot : simulatedSession.windows) {
        if (slot == NULL) {
            slot = window;
            InterlockedIncrement(&simulatedSession.registeredWindows);
            return TRUE;
        }
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// As on Windows, a window already destroyed can no longer be unregistered: its registration
// stays behind, where a test sees it.
static BOOL WINAPI simulatedUnRegisterSessionNotification(HWND window)
{
    if (!IsWindow(window))
        return FALSE;
    for (HWND &slot : simulatedSession.windows) {
        if (slot == window) {
            slot = NULL;
            InterlockedDecrement(&simulatedSession.registeredWindows);
            return TRUE;
        }
    }
    return FALSE;
}

static BOOL nameIs(LPCSTR name, const char *wanted)
{
    // An ordinal is no name.
    return HIWORD((ULONG_PTR)name) != 0 && lstrcmpA(name, wanted) == 0;
}

static FARPROC WINAPI sessionAwareGetProcAddress(HMODULE module, LPCSTR name)
{
    if (nameIs(name, "WTSRegisterSessionNotification"))
        return (FARPROC)(void *)simulatedRegisterSessionNotification;
    if (nameIs(name, "WTSUnRegisterSessionNotification"))
        return (FARPROC)(void *)simulatedUnRegisterSessionNotification;
    if (nameIs(name, "WTSQuerySessionInformationW"))
        return (FARPROC)(void *)simulatedQuerySessionInformationW;
    if (nameIs(name, "WTSFreeMemory"))
        return (FARPROC)(void *)simulatedFreeMemory;
    if (nameIs(name, "GetTickCount64") && simulatedSession.coreAudioMissing)
        return NULL;
    if (nameIs(name, "CreateFile2") && simulatedSession.windowsSeven)
        return NULL;
    return realGetProcAddress(module, name);
}

static BOOL namesSessionLibrary(LPCWSTR name)
{
    int length = lstrlenW(name);
    static const WCHAR fileName[] = L"wtsapi32.dll";
    int nameLength = ARRAYSIZE(fileName) - 1;
    return length >= nameLength && lstrcmpiW(name + length - nameLength, fileName) == 0 &&
           (length == nameLength || name[length - nameLength - 1] == L'\\');
}

static HMODULE WINAPI sessionAwareLoadLibraryW(LPCWSTR name)
{
    if (simulatedSession.libraryMissing && namesSessionLibrary(name)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return realLoadLibraryW(name);
}

BOOL interceptLockProbe(HMODULE module)
{
    // Taken from the system DLLs themselves: the import of a module patched before (this one
    // included) would lead back here.
    bindSystemFunction(realSwitchDesktop, "user32.dll", "SwitchDesktop");
    bindSystemFunction(realOpenInputDesktop, "user32.dll", "OpenInputDesktop");
    if (realGetProcAddress == NULL) {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        realGetProcAddress = (FARPROC(WINAPI *)(HMODULE, LPCSTR))(void *)GetProcAddress(kernel, "GetProcAddress");
        realLoadLibraryW = (HMODULE(WINAPI *)(LPCWSTR))(void *)GetProcAddress(kernel, "LoadLibraryW");
    }
    (void)patchImport(module, "kernel32.dll", "GetProcAddress", (void *)sessionAwareGetProcAddress);
    (void)patchImport(module, "kernel32.dll", "LoadLibraryW", (void *)sessionAwareLoadLibraryW);
    (void)patchImport(module, "user32.dll", "OpenInputDesktop", (void *)secureAwareOpenInputDesktop);
    return patchImport(module, "user32.dll", "SwitchDesktop", (void *)lockAwareSwitchDesktop) != NULL;
}

void resetSimulatedSession(void)
{
    simulatedSession.registerCalls = 0;
    simulatedSession.failuresToCome = 0;
    simulatedSession.libraryMissing = 0;
    simulatedSession.coreAudioMissing = 0;
    simulatedSession.infoAnswer = SESSION_INFO_FAILS;
    simulatedSession.windowsSeven = 0;
    simulatedSession.infoQueries = 0;
    simulatedSession.secureDesktop = 0;
    simulatedSession.lockToldAfterWake = 0;
    simulatedSession.lockNoticeHeld = 0;
    simulatedSession.unlockWhileAsked = 0;
}

// The lock changes, and the windows registered hear of it as delivered.
static void changeLock(BOOL locked, NoticeDelivery delivery)
{
    // A lock still untold is told before its unlock, as Windows keeps their order.
    if (!locked && InterlockedExchange(&simulatedSession.lockNoticeHeld, 0) != 0)
        tellSessionWindows(WTS_SESSION_LOCK, delivery);
    LONG previous = InterlockedExchange(&simulatedLock, locked ? 1 : 0);
    if (previous != (locked ? 1 : 0))
        tellSessionWindows(locked ? WTS_SESSION_LOCK : WTS_SESSION_UNLOCK, delivery);
}

void setWorkstationLocked(BOOL locked)
{
    changeLock(locked, NOTICE_NOT_WAITED_FOR);
}

void postSessionNotice(WPARAM event)
{
    tellSessionWindows(event, NOTICE_POSTED);
}

void setWorkstationLockedPosted(BOOL locked)
{
    changeLock(locked, NOTICE_POSTED);
}

BOOL workstationLocked(void)
{
    return simulatedLock != 0;
}

static BOOL CALLBACK sendToOwnWindow(HWND window, LPARAM event)
{
    DWORD process = 0;
    (void)GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId())
        (void)SendMessageA(window, WM_POWERBROADCAST, (WPARAM)event, 0);
    return TRUE;
}

// Sent, not posted: the system goes to sleep only once every window has answered.
void broadcastSuspend(void)
{
    (void)EnumWindows(sendToOwnWindow, PBT_APMSUSPEND);
    if (simulatedSession.lockToldAfterWake && InterlockedExchange(&simulatedLock, 1) == 0)
        simulatedSession.lockNoticeHeld = 1;
}

void postLockToldLate(void)
{
    if (InterlockedExchange(&simulatedSession.lockNoticeHeld, 0) != 0)
        postSessionNotice(WTS_SESSION_LOCK);
}

void broadcastWake(WPARAM event)
{
    (void)EnumWindows(sendToOwnWindow, (LPARAM)event);
}

void broadcastResume(void)
{
    broadcastWake(PBT_APMRESUMEAUTOMATIC);
    broadcastWake(PBT_APMRESUMESUSPEND);
}
