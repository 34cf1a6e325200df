// The one place that builds the whole watch and tears it down, in a fixed order: the player's
// thread's part (the mixer's lock, the wake events, the signal window with every handler and the
// session notices) at init and quit, and the watch thread's Core Audio registrations at its
// start and end. Each condition's room makes and undoes its own; this only orders them.
#pragma once
#include <windows.h>

// The player's thread, before the watch thread starts and after it ended. FALSE when something
// stays that the platform may still call into: the module must then stay mapped.
void openWatch(void);
BOOL closeWatch(void);
// The signal window alone, with its handlers and the session notices; a window a quit had to
// leave is closed first, or kept in use while its thread does not answer.
void openSignalWindow(void);
BOOL closeSignalWindow(void);

// The watch thread's part: registrations it makes and undoes itself, and the retries of those
// that did not hold yet, run between polls.
void watchSignalsBegin(void);
void watchSignalsBetweenPolls(void);
void watchSignalsEnd(void);
