// Sits in front of the player window's procedure and sees the user's transport commands
// before the player does: a manual start while muted releases the mute first. Installed by
// init, removed by quit; the watch loop's own toggles pass it untouched.
#include "engine/transport_filter.h"

#include "engine/master_mute.h"
#include "engine/output_device.h"
#include "engine/pause_conditions.h"
#include "engine/settings_in_force.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

FilterHandover filterHandover;

// Under the mixer lock, held by whichever thread releases: the read, the write and the
// conditions asked again see one mixer.
static void releaseMuteNow(void)
{
    if (!masterMuteMayBeSet())
        return;
    (void)writeMasterMute(0);
    // Another condition may still hold, or the write failed: then the hold goes on, played
    // over by the user's start, and its end resumes nothing.
    if (!shouldHoldPlayback())
        pluginState.pausedByPlugin = NO_PAUSE_OF_OURS;
}

static void releaseMuteForUser(void)
{
    if (pluginState.issuingCommand != 0)
        return;
    if (settingsInForce().isMute == 0)
        return;
    // A command that arrived while this thread waits inside a mixer call: the outer call
    // still uses the mixer, which a failure here would release under it.
    if (mixerBusyOnThisThread())
        return;
    // The watch thread may be inside a slow driver call (a USB sound card going away): the
    // player's window never waits for it. The user's command goes on at once, and the watch
    // thread releases the mute before its next poll can read it as a reason to pause.
    if (!tryLockMixer()) {
        filterHandover.releaseHandedOver = 1;
        wakeWatchLoop();
        return;
    }
    releaseMuteNow();
    unlockMixer();
}

// The watch thread may wait for the lock: nobody waits on this thread meanwhile.
void releaseMuteHandedOver(void)
{
    if (filterHandover.releaseHandedOver == 0)
        return;
    lockMixer();
    // Cleared under the lock, so that the poll pauses nothing before the release is made.
    filterHandover.releaseHandedOver = 0;
    if (settingsInForce().isMute != 0)
        releaseMuteNow();
    unlockMixer();
}

BOOL muteReleaseHandedOver(void)
{
    return filterHandover.releaseHandedOver != 0;
}

void forgetHandedOverRelease(void)
{
    filterHandover.releaseHandedOver = 0;
}

static BOOL playerIsPaused(void)
{
    // A nested send on this same thread: it comes back through this procedure as a plain message.
    return SendMessageA(pluginHeader.hwndParent, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM) ==
           PLAY_STATE_PAUSED;
}

static void userStarts(void)
{
    if (pluginState.issuingCommand != 0)
        return;
    if (pluginState.pausedByPlugin != NO_PAUSE_OF_OURS) {
        noteUserStartDuringPause();
        // Not over a poll that has just ended the hold: then there is nothing left to play over.
        (void)InterlockedCompareExchange(&pluginState.pausedByPlugin, PLAYED_OVER_BY_USER, PAUSED_BY_US);
    }
    releaseMuteForUser();
}

static void checkTransportCommand(WORD id)
{
    switch (id) {
    case CMD_PREVIOUS:
    case CMD_PLAY:
    case CMD_NEXT:
        userStarts();
        break;
    case CMD_PAUSE:
        // Only a pause toggle that is about to resume counts as a start.
        if (playerIsPaused())
            userStarts();
        break;
    }
}

LRESULT CALLBACK transportFilterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // quit looks at the depth: while it is above 0, a frame of ours waits on this stack (a
    // mixer call of the check serves sent messages under Wine, quit's among them).
    ++pluginState.filterDepth;
    if (message == WM_COMMAND && !pluginState.filterBypassed)
        checkTransportCommand(LOWORD(wParam));
    LRESULT result = CallWindowProcA(pluginState.previousWndProc, hwnd, message, wParam, lParam);
    --pluginState.filterDepth;
    return result;
}
