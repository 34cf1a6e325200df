// The master mute: the first sound card's mixer mute, with the lock both threads take around
// every mixer call, and from Vista on the default speakers' own mute beside it. Read by the
// pause conditions, cleared by the filter on a manual start, brought up and down by the
// plug-in's lifecycle.
#pragma once
#include <windows.h>
#include <mmsystem.h>

enum : DWORD { MUTE_CONTROL_UNLOCATED = 0xFFFFFFFFu };

// Both threads use it, always under mixerLock: open, locate, read, write and release never
// interleave, so a located control always belongs to the open mixer beside it.
struct MasterMute {
    HMIXER mixerHandle;
    DWORD muteControlId;
    MIXERCAPSA mixerCaps;
    CRITICAL_SECTION mixerLock;
    LONG mixerLockReady;  // initialised, and not yet deleted by a quit whose thread ended
    volatile DWORD mixerLockOwner;  // the thread inside, 0 when none
    LONG mixerLockDepth;            // written only by that thread
};
extern MasterMute masterMute;

// Nonzero while muted: the mixer's master mute, and with Core Audio the default speakers' too.
LONG readMasterMute(void);
BOOL writeMasterMute(LONG value);
// Whether a release could be needed: a mute that is set, or one that could not be read.
BOOL masterMuteMayBeSet(void);
// The signal window's handlers of the mixer's change notices.
LRESULT mixerControlSignal(WPARAM, LPARAM controlId);
LRESULT mixerLineSignal(WPARAM, LPARAM);

void prepareMixerLock(void);
void deleteMixerLock(void);
// Under Wine a mixer call serves sent messages while it waits: this thread may be inside one.
BOOL mixerBusyOnThisThread(void);
// The player's thread never waits on the lock: FALSE when another thread holds it.
BOOL tryLockMixer(void);
void lockMixer(void);  // the watch thread's own
void unlockMixer(void);
void releaseMixer(void);
