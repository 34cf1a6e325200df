// The three system states the plug-in watches, produced for real where Wine can (the
// screen-saver flag, the master mute through the mixer) and simulated where it cannot (a
// locked workstation, by intercepting the plug-in's SwitchDesktop import).
#pragma once
#include <windows.h>
#include <mmsystem.h>

void setScreenSaverRunning(BOOL running);
BOOL screenSaverRunning(void);
// The mute a user sets from the taskbar or a mute key: from Windows Vista on the default
// speakers' own (simulated, see simulated_speakers.h), before that the mixer's master mute.
BOOL speakersAreTheUsersMute(void);  // Vista and later, as the system reports itself
BOOL setUserMute(BOOL muted);
BOOL userMuteOn(void);
const char *userMuteName(void);
// The mixer's master mute. FALSE when the machine has no mixer with a speaker mute.
BOOL setSystemMute(BOOL muted);
LONG readSystemMute(void);
// Makes SwitchDesktop fail, as it does on a locked workstation, for calls made from module, and
// OpenInputDesktop while a secure desktop is up; hands the module simulated session notices and
// session information (Wine's registration never calls back, its information fails): the
// module's wtsapi32 lookups reach the functions below.
BOOL interceptLockProbe(HMODULE module);
// Tells the windows registered for session notices, as Windows does when the session locks.
void setWorkstationLocked(BOOL locked);
// The same, with the notice posted even to a window of this thread, as Windows posts it: it
// waits in the queue until the thread takes its messages. Also the session's other notices.
void setWorkstationLockedPosted(BOOL locked);
void postSessionNotice(WPARAM event);
BOOL workstationLocked(void);
// The desktop an intercepted module last asked to switch to, and how often any has asked.
extern HDESK lastDesktopSwitchedTo;
extern volatile LONG desktopSwitchesAsked;

enum { MAX_SESSION_WINDOWS = 8 };

// What the session's extended information says when asked: Wine's own fails.
enum SessionInfoAnswer { SESSION_INFO_FAILS, SESSION_INFO_TELLS, SESSION_INFO_UNKNOWN };

struct SimulatedSession {
    HWND windows[MAX_SESSION_WINDOWS];  // registered for session notices now
    volatile LONG registeredWindows;
    volatile LONG registerCalls;
    volatile LONG failuresToCome;    // the next registrations fail, as before the service is ready
    volatile LONG libraryMissing;    // wtsapi32 cannot be loaded, as on a system without it
    volatile LONG coreAudioMissing;  // the export that came with Core Audio is not there
    // WTSQuerySessionInformationW(WTSSessionInfoEx): its answer tells the simulated lock (or
    // that the state is unknown); on Windows 7 with the lock flag inverted, and then kernel32
    // lacks the export Windows 8 added. Answers handed out and not yet freed are counted.
    volatile LONG infoAnswer;
    volatile LONG windowsSeven;
    volatile LONG infoQueries;
    volatile LONG infoAnswersHeld;
    // The input desktop is a secure one the user is at (an elevation prompt, the Ctrl+Alt+Del
    // screen): a user's process cannot open it, and the session tells of no lock.
    volatile LONG secureDesktop;
    // "Sign in on wake": a suspend locks the session without a word (its flags say locked, the
    // input desktop is Winlogon's), and the lock's notice is posted only after the wake, by
    // postLockToldLate, or before the unlock's when the user unlocks first.
    volatile LONG lockToldAfterWake;
    volatile LONG lockNoticeHeld;
    // The user signs in while the session is being asked for its lock, once: the notices are
    // handled before the answer arrives, and it says what held when it was asked.
    volatile LONG unlockWhileAsked;
};
extern SimulatedSession simulatedSession;
// Nobody registered, no failures, everything present, no secure desktop, and the extended
// session information failing as under Wine.
void resetSimulatedSession(void);
// What a system going to sleep and waking again broadcasts, to this process's top-level windows.
void broadcastSuspend(void);
void postLockToldLate(void);
void broadcastResume(void);  // a wake with a user: the automatic resume, then the user's
// One wake broadcast: PBT_APMRESUMEAUTOMATIC alone is a wake with nobody there (a wake timer,
// Wake-on-LAN); PBT_APMRESUMESUSPEND follows once there was input.
void broadcastWake(WPARAM event);
void closeConditionMixer(void);
// The player's own open mixer and its located speaker mute, for a caller that reads it raw.
BOOL conditionMuteControl(HMIXER &mixerHandle, DWORD &controlId);
