// The pause engine: the watch thread, the three pause conditions with the master mute
// switch, and the filter on the player window. Called by the plug-in's lifecycle.
#pragma once
#include <windows.h>
#include <mmsystem.h>

// Both threads read it without a lock: the handle is published before the control id, so a
// located control always has its open mixer.
struct MasterMute {
    HMIXER volatile mixerHandle;
    volatile DWORD muteControlId;
    MIXERCAPSA mixerCaps;
};
extern MasterMute masterMute;

enum : DWORD { MUTE_CONTROL_UNLOCATED = 0xFFFFFFFFu };
enum { WAIT_SLICE_MS = 100 };

DWORD WINAPI watchLoop(LPVOID unused);
// One poll of the player and the decision on it; the loop's body between two waits.
void pollOnce(void);
// How many 100 ms slices lie between two polls; never 0, so the loop always sleeps.
LONG intervalSliceCount(LONG checkTime);

BOOL shouldHoldPlayback(void);
BOOL isScreenSaverRunning(void);
BOOL isWorkstationLocked(void);
// Nonzero while muted: the mixer's master mute, and from Vista on the default speakers' too.
LONG readMasterMute(void);
BOOL writeMasterMute(LONG value);
void releaseMixer(void);

// The default render endpoint's mute, used from Windows Vista (version 6) on; below that no
// COM call is ever made. Every call is complete in itself: no interface outlives it.
BOOL endpointMuteApplies(void);
LONG readEndpointMute(void);
BOOL writeEndpointMute(LONG value);
// E_NOTIMPL below version 6; whatever it returns is handed back to leaveComApartment.
HRESULT enterComApartment(void);
void leaveComApartment(HRESULT entered);

LRESULT CALLBACK transportFilterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
