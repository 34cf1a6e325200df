// Whether playback is to be held now. It combines the conditions the settings switch on: the
// screen saver, the workstation lock (session_lock) or the sleep hold (sleep_hold), a call
// (call_capture) and the master mute (master_mute). Asked by the watch loop and the filter.
#pragma once
#include <windows.h>

BOOL shouldHoldPlayback(void);
BOOL isScreenSaverRunning(void);
