// The filter in front of the player window: a manual start while muted releases the mute
// first. Installed by init, removed by quit; the watch loop takes over a release it could not
// make at once.
#pragma once
#include <windows.h>

// The user started the music while the watch thread held the mixer lock (a slow driver call):
// the release of the mute is the watch thread's to make, before its next poll decides.
struct FilterHandover {
    volatile LONG releaseHandedOver;
};
extern FilterHandover filterHandover;

LRESULT CALLBACK transportFilterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The watch thread's part of a release the filter handed over; run before each poll.
void releaseMuteHandedOver(void);
BOOL muteReleaseHandedOver(void);
// init starts with no handover left from before.
void forgetHandedOverRelease(void);
