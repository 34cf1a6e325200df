// The stand-in player's own render session, as a player's output makes one on the simulated
// speakers (simulated_sessions.h): opened on the default device when the music starts, active
// while it plays and idle while it does not. Used by the stand-in program and its demo.
#pragma once
#include <windows.h>

// Brings the session in line with the player and the devices; called after every command the
// player acted on and after every change of the devices.
void standInSessionFollows(void);
// The device it plays on, or NO_SESSION while it has no session.
LONG standInSessionDevice(void);
