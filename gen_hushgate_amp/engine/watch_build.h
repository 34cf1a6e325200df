// The one place that builds the whole watch and tears it down, in a fixed order: the player's
// thread's part (the mixer's lock, the wake events, the signal window with every handler and the
// session notices) at init and quit, and the watch thread's Core Audio registrations at its
// start and end. Each condition's room makes and undoes its own; this only orders them.
#pragma once
#include <windows.h>

#include "engine/audio_platform.h"

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

// The audio service stopped and started again (a driver update, a crash, a resume from
// hibernation): every Core Audio object the watch holds answers with its codes and calls nobody,
// for good. Asked by the watch thread before each poll: where a held object showed it, the Core
// Audio part is torn down and built again as a unit.
// While the service stays away each build fails, and is tried again before every poll and on a
// wake of its own, 250 ms after the first try, then 500 ms, then every second. A shutdown is
// told while the service goes down, and it may answer for a moment more: for a while after one
// is told the held objects are asked on those wakes too, and the watch built again once they fail.
void renewAudioWatchAfterOutage(void);
// The gap before that wake, counted from the try before the poll; 0 while no try has failed and
// no told shutdown settles. The watch thread's alone.
struct AudioRenewal {
    DWORD gap;
    LONG shutdownsSeen;
    BOOL settling;
    DWORD shutdownToldAt;
};
extern AudioRenewal audioRenewal;
enum { RENEWAL_FIRST_GAP_MS = 250, RENEWAL_LONGEST_GAP_MS = 1000 };
// A loss raised since the try (by the poll's own reads, or a notice while it ran) is tried soon too.
inline DWORD audioWatchRenewalWait(void)
{
    if (audioRenewal.gap != 0)
        return audioRenewal.gap;
    return audioServiceAway() ? (DWORD)RENEWAL_FIRST_GAP_MS : INFINITE;
}
