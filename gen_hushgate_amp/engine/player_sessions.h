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
    // An endpoint answered E_NOINTERFACE for the session manager (Vista): no program's
    // sessions can be listed here. Read by the dialog on the player's thread.
    volatile LONG sessionInterfacesMissing;
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
BOOL systemListsAudioSessions(void);
// Made afresh whenever an endpoint or a session came or went.
void watchPlayerSessions(void);
void unwatchPlayerSessions(void);
