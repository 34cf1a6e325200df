// The process-wide state of the plug-in and its header record. Every subsystem reads the
// settings and flags from here; init, config and quit are reached only through the header.
#pragma once
#include "plugin/host_contract.h"

// Published as one whole and read as one (engine/settings_in_force.h): a poll never decides
// on part of an old set and part of a new one.
struct Settings {
    volatile LONG isLock;
    volatile LONG isScreenSave;
    volatile LONG isMute;
    volatile LONG checkTime;
    volatile LONG isDeviceLost;
    volatile LONG isCall;
};

struct PluginState {
    Settings settings;
    DWORD osMajorVersion;
    LONG hasCoreAudio;  // the system has Core Audio, whatever version it reports
    WNDPROC previousWndProc;
    HANDLE watchThread;
    DWORD watchThreadId;
    CRITICAL_SECTION stopLock;
    LONG stopLockReady;  // initialised, and not yet deleted by a quit whose thread ended
    volatile LONG stopRequested;
    volatile LONG issuingCommand;
    volatile LONG pausedByPlugin;  // a PluginPause
    // Teardown guards, all on the player's window thread: how deep the window thread is
    // inside our own code, whether the filter stayed in a chain it could not leave, and
    // whether the module holds a reference to itself so that it outlives the player's unload.
    LONG filterDepth;
    LONG dialogDepth;  // the signal window keeps its own depth beside these
    volatile LONG filterBypassed;
    LONG modulePinned;
    volatile LONG tearDownPending;  // set by quit, taken by whichever thread tears down first
};

// Whose the player's pause is. Once the user starts the music during a hold of ours, every
// pause after that is the user's: the hold pauses nothing more, and its end resumes nothing.
enum PluginPause { NO_PAUSE_OF_OURS = 0, PAUSED_BY_US = 1, PLAYED_OVER_BY_USER = 2 };

extern PluginHeader pluginHeader;
PluginHeader *fillPluginHeader(void);  // what the export hands the player
extern PluginState pluginState;

enum { DEFAULT_CHECK_TIME = 500 };
