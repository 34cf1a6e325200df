// The player's own window procedure: the last in the chain, after any plug-in's subclass.
#include "player_window.h"

#include "conditions.h"
#include "simulated_speakers.h"
#include "plugin/host_contract.h"

PlayerWindow playerWindow;

static const char PLAYER_CLASS[] = "HushgateStandInPlayer";

static LONG stateAfterCommand(WORD command, LONG state)
{
    switch (command) {
    case CMD_PREVIOUS:
    case CMD_NEXT:
        return state == PLAY_STATE_STOPPED ? PLAY_STATE_STOPPED : PLAY_STATE_PLAYING;
    case CMD_PLAY:
        return PLAY_STATE_PLAYING;
    case CMD_PAUSE:
        if (state == PLAY_STATE_PLAYING)
            return PLAY_STATE_PAUSED;
        if (state == PLAY_STATE_PAUSED)
            return PLAY_STATE_PLAYING;
        return state;
    case CMD_STOP:
        return PLAY_STATE_STOPPED;
    }
    return state;
}

static void moveTrack(WORD command)
{
    LONG track = playerWindow.track;
    if (command == CMD_NEXT)
        track = track % PLAYER_TRACK_COUNT + 1;
    if (command == CMD_PREVIOUS)
        track = track <= 1 ? (LONG)PLAYER_TRACK_COUNT : track - 1;
    playerWindow.track = track;
}

static void actOnCommand(WORD command)
{
    PlayerEvent event = {};
    event.tick = GetTickCount();
    event.message = WM_COMMAND;
    event.id = command;
    event.fromOtherThread = (InSendMessageEx(NULL) & ISMEX_SEND) != 0;
    event.stateBefore = playerWindow.playState;
    event.mutedOnArrival = readSystemMute() != 0 || speakersMuted();
    moveTrack(command);
    playerWindow.playState = stateAfterCommand(command, event.stateBefore);
    event.stateAfter = playerWindow.playState;
    playerWindow.events[playerWindow.eventCount % PLAYER_LOG_CAPACITY] = event;
    InterlockedIncrement(&playerWindow.eventCount);
    if (playerWindow.onEvent != NULL)
        playerWindow.onEvent(event);
}

static BOOL isTransportCommand(WORD id)
{
    return id >= CMD_PREVIOUS && id <= CMD_NEXT;
}

static WNDPROC playerFrameProc;

static LRESULT CALLBACK playerWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case PLAY_STATE_QUERY:
        if (lParam == PLAY_STATE_QUERY_LPARAM) {
            InterlockedIncrement(&playerWindow.queryCount);
            if (playerWindow.onPlayStateQuery != NULL)
                playerWindow.onPlayStateQuery();
            return playerWindow.playState;
        }
        break;
    case WM_COMMAND:
        if (isTransportCommand(LOWORD(wParam))) {
            actOnCommand(LOWORD(wParam));
            return 0;
        }
        break;
    }
    if (playerFrameProc != NULL)
        return CallWindowProcA(playerFrameProc, hwnd, message, wParam, lParam);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND createPlayerWindow(HINSTANCE instance, BOOL visible, WNDPROC frameProc)
{
    playerFrameProc = frameProc;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = playerWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = PLAYER_CLASS;
    (void)RegisterClassA(&windowClass);
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | (visible ? (DWORD)WS_VISIBLE : 0u);
    playerWindow.hwnd = CreateWindowExA(0, PLAYER_CLASS, "Hushgate stand-in player", style, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 560, 420, NULL, NULL, instance, NULL);
    playerWindow.playState = PLAY_STATE_STOPPED;
    playerWindow.track = 1;
    return playerWindow.hwnd;
}

void destroyPlayerWindow(void)
{
    if (playerWindow.hwnd != NULL)
        (void)DestroyWindow(playerWindow.hwnd);
    playerWindow.hwnd = NULL;
}

void clearPlayerLog(void)
{
    playerWindow.eventCount = 0;
    playerWindow.queryCount = 0;
}

const PlayerEvent &playerEventAt(LONG index)
{
    return playerWindow.events[index % PLAYER_LOG_CAPACITY];
}

void pressPlayerButton(WORD command)
{
    (void)SendMessageA(playerWindow.hwnd, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
}

const char *playStateName(LONG state)
{
    switch (state) {
    case PLAY_STATE_PLAYING:
        return "playing";
    case PLAY_STATE_PAUSED:
        return "paused";
    case PLAY_STATE_STOPPED:
        return "stopped";
    }
    return "unknown";
}

const char *commandName(WORD command)
{
    switch (command) {
    case CMD_PREVIOUS:
        return "previous";
    case CMD_PLAY:
        return "play";
    case CMD_PAUSE:
        return "pause";
    case CMD_STOP:
        return "stop";
    case CMD_NEXT:
        return "next";
    }
    return "other";
}

BOOL pumpMessagesUntil(DWORD timeoutMs, BOOL (*done)(void))
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            (void)TranslateMessage(&message);
            (void)DispatchMessageA(&message);
        }
        if (done != NULL && done())
            return TRUE;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return FALSE;
        // Wakes for sent messages too, so a thread sending to this window is never kept waiting.
        (void)MsgWaitForMultipleObjects(0, NULL, FALSE, timeoutMs - elapsed < 10 ? timeoutMs - elapsed : 10,
                                        QS_ALLINPUT);
    }
}

void pumpMessagesFor(DWORD milliseconds)
{
    (void)pumpMessagesUntil(milliseconds, NULL);
}
