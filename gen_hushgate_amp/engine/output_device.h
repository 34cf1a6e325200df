// The render device the music plays on, and its loss. Asked by the poll; the notices of the
// signals and of the player's sessions only ask for a new lookup.
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
    volatile LONG lookupWanted;
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
// Safe from any thread, callbacks included: the next poll looks the output up again.
void wantOutputLookup(void);
// The filter's part: a start of the user's during a pause of the plug-in's own.
void noteUserStartDuringPause(void);
