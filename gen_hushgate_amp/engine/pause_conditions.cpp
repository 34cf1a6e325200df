// Whether playback is to be held now: the screen saver, the workstation lock (or the system
// going to sleep), a call (decided by the watch thread's poll) and the master mute, each
// switched by its setting. Asked by the watch loop and by the transport filter.
#include "engine/pause_conditions.h"

#include "engine/call_capture.h"
#include "engine/master_mute.h"
#include "engine/session_lock.h"
#include "engine/settings_in_force.h"
#include "engine/sleep_hold.h"
#include "plugin/plugin.h"

static const DWORD OLD_SCREEN_SAVER_PROBE_BELOW = 5;

BOOL isScreenSaverRunning(void)
{
    if (pluginState.osMajorVersion >= OLD_SCREEN_SAVER_PROBE_BELOW) {
        BOOL running = FALSE;
        (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
        return running != FALSE;
    }
    HDESK screenSaver = OpenDesktopA("screen-saver", 0, FALSE, DESKTOP_ENUMERATE);
    if (screenSaver == NULL)
        return FALSE;
    (void)CloseDesktop(screenSaver);
    return TRUE;
}

BOOL shouldHoldPlayback(void)
{
    // Every enabled probe runs on every evaluation; one that held does not spare the others.
    // Within a poll each switch read gives the set the poll began with.
    BOOL result = FALSE;
    if (settingsInForce().isScreenSave != 0)
        result = isScreenSaverRunning();
    // A system going to sleep counts as the user going away: the lock comes with the sleep.
    // The sleep first: a wake it ends may find the session locked.
    if (settingsInForce().isLock != 0 && (sleepHoldsPlayback() || isWorkstationLocked()))
        result = TRUE;
    // The watch thread's last poll decided the call; the filter's thread only reads it.
    if (settingsInForce().isCall != 0 && callHoldsPlayback())
        result = TRUE;
    if (settingsInForce().isMute != 0 && readMasterMute() != 0)
        return TRUE;
    return result;
}
