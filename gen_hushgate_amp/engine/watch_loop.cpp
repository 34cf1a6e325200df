// The watch thread: polls the player, pauses it while a condition holds and resumes the
// pause it made once the condition ends. Started by init, ended by quit's stop request.
#include "engine/engine.h"
#include "plugin/plugin.h"

static LRESULT queryPlayState(void)
{
    return SendMessageA(pluginHeader.hwndParent, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
}

static void sendPauseToggle(void)
{
    (void)SendMessageA(pluginHeader.hwndParent, WM_COMMAND, CMD_PAUSE, 0);
}

// The toggle pauses and resumes alike, so it goes out only while the player still stands
// where the decision needs it: the user may have pressed play or pause since the poll, and a
// blind toggle would undo what they did.
static BOOL playerStillIn(LRESULT state)
{
    return queryPlayState() == state;
}

void pollOnce(void)
{
    LRESULT state = queryPlayState();
    if (pluginState.pausedByPlugin == 0 && state != PLAY_STATE_PLAYING)
        return;
    BOOL hold = shouldHoldPlayback();
    // pausedByPlugin is read afresh: the filter may have cleared it while the probes ran.
    if (hold && pluginState.pausedByPlugin == 0) {
        if (!playerStillIn(PLAY_STATE_PLAYING))
            return;
        // the send re-enters transportFilterProc on the player's thread, which must see
        // issuingCommand raised
        pluginState.issuingCommand = 1;
        sendPauseToggle();
        pluginState.pausedByPlugin = 1;
        pluginState.issuingCommand = 0;
    } else if (!hold && pluginState.pausedByPlugin == 1) {
        pluginState.pausedByPlugin = 0;
        if (!playerStillIn(PLAY_STATE_PAUSED))
            return;
        pluginState.issuingCommand = 1;
        sendPauseToggle();
        pluginState.issuingCommand = 0;
    }
}

LONG intervalSliceCount(LONG checkTime)
{
    // Below one slice the loop would poll back to back and never look at the stop request.
    if (checkTime < WAIT_SLICE_MS)
        return 1;
    return checkTime / WAIT_SLICE_MS;
}

static BOOL stopHasBeenRequested(void)
{
    EnterCriticalSection(&pluginState.stopLock);
    BOOL stop = pluginState.stopRequested != 0;
    LeaveCriticalSection(&pluginState.stopLock);
    return stop;
}

// FALSE once a stop was requested. checkTime is read before every slice so that a new
// interval from the dialog cuts the wait under way.
static BOOL waitOneInterval(void)
{
    for (LONG slice = 0; slice < intervalSliceCount(pluginState.settings.checkTime); ++slice) {
        if (stopHasBeenRequested())
            return FALSE;
        Sleep(WAIT_SLICE_MS);
    }
    return TRUE;
}

DWORD WINAPI watchLoop(LPVOID)
{
    // The thread's own apartment for its whole life, so that each endpoint read only joins it.
    HRESULT apartment = enterComApartment();
    do
        pollOnce();
    while (waitOneInterval());
    leaveComApartment(apartment);
    return 0;
}
