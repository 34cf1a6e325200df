// The render device the music plays on, and its loss. Asked by the poll; the device notices and
// the player's sessions only count their changes, which the poll takes as a reason to look up.
#pragma once
#include <windows.h>

#include "engine/device_id.h"

enum OutputSource { OUTPUT_NOT_LOOKED_UP, OUTPUT_NOTHING, OUTPUT_FROM_PLAYER_SESSION, OUTPUT_FROM_DEFAULT };

// The endpoint that holds the player's own active audio session, else the default render
// device. Looked up when the music starts and after a device or session notice; kept while the
// player plays and while the plug-in holds a pause of its own, forgotten otherwise. Only the
// thread that polls touches it; the notices only raise lookupWanted.
struct OutputDevice {
    WCHAR playedOn[DEVICE_ID_CAPACITY];
    LONG source;
    volatile LONG lookupWanted;  // the last lookup could not read the default device
    // The sum of the device notices' and the player's sessions' counts at the last lookup:
    // each only grows, so any change moves it.
    LONG changesSeen;
    // The user started the music during a pause of the plug-in's own: the output kept for the
    // pause's end no longer counts. Raised by the filter, taken by the poll.
    volatile LONG startedByUser;
};
extern OutputDevice outputDevice;

// The output device the music plays on went away (unplugged, disabled, removed) while the
// player played: asked by the poll with the state it just read.
BOOL outputDeviceWentAway(BOOL playing);
// The output kept through a pause of the plug-in's own is no longer there: asked at the moment
// the pause would end. Forgets it when so.
BOOL heldOutputHasGone(void);
void forgetOutputDevice(void);
// The filter's part: a start of the user's during a pause of the plug-in's own.
void noteUserStartDuringPause(void);
