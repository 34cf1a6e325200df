// The audio sessions of the player's own process, which say on which render endpoint the music
// plays (Windows 7 and later). Asked by the output lookup; watched by the watch thread, which
// registers for their notices and undoes every registration itself.
#pragma once
#include <windows.h>

#include "engine/device_id.h"

struct IMMDeviceEnumerator;
struct IAudioSessionManager2;
struct IAudioSessionControl;

enum { SESSION_ENDPOINT_CAPACITY = 16, PLAYER_SESSION_CAPACITY = 8 };

// Registered for new sessions on every render endpoint that can list its sessions, and for the
// state of each session of the player's own; a full table leaves the lookups to the poll.
struct PlayerSessionWatch {
    IAudioSessionManager2 *sessionManagers[SESSION_ENDPOINT_CAPACITY];
    IAudioSessionControl *playerSessions[PLAYER_SESSION_CAPACITY];
    // Handed over by the new-session notices, kept until the next watch takes them.
    IAudioSessionControl *volatile handedOver[PLAYER_SESSION_CAPACITY];
    // An endpoint answered E_NOINTERFACE for the session manager (Vista): no program's
    // sessions can be listed here. Read by the dialog on the player's thread.
    volatile LONG sessionInterfacesMissing;
    BOOL sessionNoticesHold;  // the player's sessions are watched on every render endpoint
    volatile LONG sessionNoticesStale;  // a session came or went: register afresh
    LONG endpointChangesSeen;  // the platform's count of endpoint changes when last registered
    // Counted by the notices, and by a watch made afresh after one: where the music plays may
    // have changed, for the output lookup to find out.
    volatile LONG changes;
};
extern PlayerSessionWatch playerSessionWatch;

// The active render endpoint holding an active audio session of this process, the one in
// preferred if it holds one; FALSE when no such session can be found (Vista; an output that
// opens none).
BOOL findPlayerSessionEndpoint(IMMDeviceEnumerator *enumerator, const WCHAR *preferred,
                               WCHAR (&id)[DEVICE_ID_CAPACITY]);
// Whether other programs' sessions can be listed on this Windows (7 and later), as the watch
// thread found the render endpoints; TRUE until it has looked. Makes no call of its own, so
// that the player's thread never waits on the audio service for it.
inline BOOL systemListsAudioSessions(void) { return playerSessionWatch.sessionInterfacesMissing == 0; }
// The watch thread's: made at its start, afresh between polls whenever an endpoint or a session
// came or went and while it is incomplete, undone at its end.
void startWatchingPlayerSessions(void);
void keepWatchingPlayerSessions(void);
void unwatchPlayerSessions(void);
// Every render endpoint is watched: no session of the player's comes or goes unannounced.
inline BOOL playerSessionNoticesHold(void) { return playerSessionWatch.sessionNoticesHold; }
inline LONG playerSessionChangeCount(void) { return playerSessionWatch.changes; }
