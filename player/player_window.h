// The stand-in player's main window: it answers the play-state query and acts on the
// transport commands exactly as the real player does toward a plug-in, and logs what it
// saw. Used by the stand-in program, the tests and the benchmark.
#pragma once
#include <windows.h>

enum { PLAYER_LOG_CAPACITY = 256 };

struct PlayerEvent {
    DWORD tick;
    UINT message;
    WORD id;
    BOOL fromOtherThread;  // sent by another thread (a plug-in's), not the player's own controls
    LONG stateBefore;
    LONG stateAfter;
    LONG mutedOnArrival;  // any mute (mixer or speakers) as the player read it when the command arrived
};

struct PlayerWindow {
    HWND hwnd;
    volatile LONG playState;
    volatile LONG track;
    volatile LONG queryCount;
    volatile LONG eventCount;  // all events ever; the log keeps the last PLAYER_LOG_CAPACITY
    PlayerEvent events[PLAYER_LOG_CAPACITY];
    // Called on the window thread after each logged command, for a display to refresh.
    void (*onEvent)(const PlayerEvent &event);
    // Called on the window thread as the play state is asked, before the answer: a test acts
    // there at the moment a poll has begun.
    void (*onPlayStateQuery)(void);
};
extern PlayerWindow playerWindow;

enum { PLAYER_TRACK_COUNT = 9 };

// Registers the class and creates the one player window; visible only when asked.
HWND createPlayerWindow(HINSTANCE instance, BOOL visible, WNDPROC frameProc);
void destroyPlayerWindow(void);
void clearPlayerLog(void);
const PlayerEvent &playerEventAt(LONG index);
// Sends a transport command to the player window, as its own buttons do: through the chain.
void pressPlayerButton(WORD command);
const char *playStateName(LONG state);
const char *commandName(WORD command);

// Serves the window thread's messages until the deadline or until done() turns true.
BOOL pumpMessagesUntil(DWORD timeoutMs, BOOL (*done)(void));
void pumpMessagesFor(DWORD milliseconds);
