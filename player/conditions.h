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
// hands the module simulated session notices (Wine's registration never calls back): the
// module's wtsapi32 lookups reach the functions below.
BOOL interceptLockProbe(HMODULE module);
// Tells the windows registered for session notices, as Windows does when the session locks.
void setWorkstationLocked(BOOL locked);
BOOL workstationLocked(void);
// The desktop the intercepted module last asked to switch to.
extern HDESK lastDesktopSwitchedTo;

enum { MAX_SESSION_WINDOWS = 8 };

struct SimulatedSession {
    HWND windows[MAX_SESSION_WINDOWS];  // registered for session notices now
    volatile LONG registeredWindows;
    volatile LONG registerCalls;
    volatile LONG failuresToCome;    // the next registrations fail, as before the service is ready
    volatile LONG libraryMissing;    // wtsapi32 cannot be loaded, as on a system without it
    volatile LONG coreAudioMissing;  // the export that came with Core Audio is not there
};
extern SimulatedSession simulatedSession;
// Nobody registered, no failures, everything present.
void resetSimulatedSession(void);
// What a system going to sleep and waking again broadcasts, to this process's top-level windows.
void broadcastSuspend(void);
void broadcastResume(void);
void closeConditionMixer(void);
// The player's own open mixer and its located speaker mute, for a caller that reads it raw.
BOOL conditionMuteControl(HMIXER &mixerHandle, DWORD &controlId);
