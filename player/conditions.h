// The three system states the plug-in watches, produced for real where Wine can (the
// screen-saver flag, the master mute through the mixer) and simulated where it cannot (a
// locked workstation, by intercepting the plug-in's SwitchDesktop import).
#pragma once
#include <windows.h>
#include <mmsystem.h>

void setScreenSaverRunning(BOOL running);
BOOL screenSaverRunning(void);
// The mute a user sets from the taskbar or a mute key: from Windows Vista on the default
// speakers' own (simulated, see simulated_speakers.h), before that the mixer's master mute.
BOOL speakersAreTheUsersMute(void);  // Vista and later, as the system reports itself
BOOL setUserMute(BOOL muted);
BOOL userMuteOn(void);
const char *userMuteName(void);
// The mixer's master mute. FALSE when the machine has no mixer with a speaker mute.
BOOL setSystemMute(BOOL muted);
LONG readSystemMute(void);
// Makes SwitchDesktop fail, as it does on a locked workstation, for calls made from module.
BOOL interceptLockProbe(HMODULE module);
void setWorkstationLocked(BOOL locked);
BOOL workstationLocked(void);
void closeConditionMixer(void);
// The player's own open mixer and its located speaker mute, for a caller that reads it raw.
BOOL conditionMuteControl(HMIXER &mixerHandle, DWORD &controlId);
