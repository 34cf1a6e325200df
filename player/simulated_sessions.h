// Stand-in audio sessions on the simulated speakers' devices: Wine's session manager activates,
// but its session enumerator and its session notices answer E_NOTIMPL. A session lives on one
// device of the simulated speakers' table, render or capture alike, named by its index there;
// Activate for IAudioSessionManager2 on that device hands out its session manager. Like
// Windows, it calls the registered session-created notices and a session's own listeners when
// something changes, outside its lock, as notice_threads.h delivers them.
#pragma once
#include <windows.h>

#include <audiosessiontypes.h>

enum SessionStep {
    SESSION_STEP_MANAGER,         // IMMDevice::Activate for IAudioSessionManager2: E_NOINTERFACE, as on Vista
    SESSION_STEP_ENUMERATOR,      // IAudioSessionManager2::GetSessionEnumerator: E_NOTIMPL, as under Wine
    SESSION_STEP_GET_COUNT,       // IAudioSessionEnumerator::GetCount
    SESSION_STEP_GET_SESSION,     // IAudioSessionEnumerator::GetSession
    SESSION_STEP_GET_STATE,       // IAudioSessionControl::GetState
    SESSION_STEP_PROCESS_ID,      // IAudioSessionControl2::GetProcessId
    SESSION_STEP_CREATED_NOTICES, // IAudioSessionManager2::RegisterSessionNotification: E_NOTIMPL, as under Wine
    SESSION_STEP_STATE_NOTICES,   // IAudioSessionControl::RegisterAudioSessionNotification
    SESSION_STEP_COUNT,
};

enum {
    MAX_SIMULATED_SESSIONS = 64,
    MAX_SESSION_LISTENERS = 64,  // of each kind
    MAX_SESSION_DEVICES = 12,    // device indices from 0 up to this one, excluded
    NO_SESSION = -1,
};

struct SimulatedSessions {
    volatile LONG failing[SESSION_STEP_COUNT];  // nonzero: that step fails
    volatile LONG calls[SESSION_STEP_COUNT];
    volatile LONG noticesSent;  // calls of the listeners, of either kind
    // Called with the device whose session list was just taken (GetSessionEnumerator), on the
    // caller's thread: a benchmark stamps when a change was first looked at.
    void (*volatile listed)(LONG device);
    volatile LONG liveObjects;       // managers, enumerators and session controls not yet released
    volatile LONG creationListeners; // IAudioSessionNotification registered now
    volatile LONG stateListeners;    // IAudioSessionEvents registered now
    volatile LONG silent;            // nonzero: changes call nobody back, as with a stub
    // The next activations of a device's session manager fail as for an endpoint not ready yet
    // (a Bluetooth headset just turned on, an audio service restarting).
    volatile LONG managerFailuresToCome[MAX_SESSION_DEVICES];
    // Nonzero: a session made from now on is announced as Windows may do it, its enumerators
    // unaware of it: when every control its announcement handed out was released before the
    // device's next enumerator was made, that device's lists leave it out for good.
    volatile LONG announcedUnlisted;
    // Nonzero: a session made from now on serves several processes: GetProcessId answers
    // AUDCLNT_S_NO_SINGLE_PROCESS with the id of the process that made it.
    volatile LONG sharedByProcesses;
    // Methods of the second version called on a manager made while SESSION_STEP_MANAGER fails:
    // Vista's manager has only the first, and a call past its table runs whatever lies there.
    volatile LONG callsVistaLacks;
};
extern SimulatedSessions simulatedSessions;

// No sessions, no failures, and as after a restart of the audio service: no device sends
// new-session notices until its session list has been read. The counts start again; listeners
// still registered stay so, where a test sees them.
void resetSimulatedSessions(void);
// A session of processId on the device; NO_SESSION when the table is full. As Windows does, a
// device's session-created notices flow only once GetCount of one of its session enumerators
// has been called.
LONG addSimulatedSession(LONG device, DWORD processId, AudioSessionState state, BOOL systemSounds);
// The session's listeners hear of a change of state.
void setSimulatedSessionState(LONG session, AudioSessionState state);
// The session ends: its listeners hear that it expired. The controls handed out for it stay
// usable and read expired from then on.
void removeSimulatedSession(LONG session);
// The session is cut off (its device removed, say): its listeners hear why, then it is gone.
void disconnectSimulatedSession(LONG session, LONG reason);
AudioSessionState simulatedSessionState(LONG session);  // expired once removed
LONG simulatedSessionDevice(LONG session);                // NO_SESSION once removed

// For the simulated devices: their Activate hands these interfaces to the sessions.
BOOL isSessionManagerInterface(REFIID iid);
HRESULT activateSessionManager(LONG device, REFIID iid, void **object);

// For the simulated speakers' audio service: as it stops, every state listener it still serves
// hears DisconnectReasonServerShutdown; once it is back, no device sends new-session notices
// until its session list has been read again.
void tellSessionsServerShutdown(void);
void forgetSessionListsRead(void);
