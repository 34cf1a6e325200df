// Publishes the settings as a whole, the list of programs never a call with them, and keeps the
// watch thread's set for the length of a poll. It calls only the list's room, which calls none.
// The player's thread never waits here; a reader on another thread that meets a publication
// under way reads again after it.
#include "engine/settings_in_force.h"

#include "engine/ignored_programs.h"

struct SettingsPublication {
    volatile LONG sequence;        // odd while a set is being written into pluginState.settings
    Settings pollSettings;         // the polling thread's set, written only as its poll begins
    volatile DWORD pollingThread;  // 0 between polls
};
static SettingsPublication settingsPublication;

static LONG publicationSequence(void)
{
    return InterlockedExchangeAdd(&settingsPublication.sequence, 0);
}

void publishSettings(const Settings &next, const WCHAR *ignoredList, BOOL cut)
{
    InterlockedIncrement(&settingsPublication.sequence);
    pluginState.settings = next;
    if (ignoredList != NULL)
        setIgnoredPrograms(ignoredList, cut);
    InterlockedIncrement(&settingsPublication.sequence);
}

// Read again until no publication began or ran meanwhile; the list, when held, inside the same
// check, so that both come from one publication. Sleep(0) would leave a preempted publisher of
// lower priority waiting behind this thread.
static Settings publishedSettings(BOOL holdingList)
{
    for (;;) {
        LONG before = publicationSequence();
        if ((before & 1) == 0) {
            Settings read = pluginState.settings;
            if (holdingList)
                holdIgnoredProgramsForPoll();
            if (publicationSequence() == before)
                return read;
        }
        Sleep(1);
    }
}

Settings settingsInForce(void)
{
    if (settingsPublication.pollingThread == GetCurrentThreadId())
        return settingsPublication.pollSettings;
    return publishedSettings(FALSE);
}

void holdSettingsForPoll(void)
{
    settingsPublication.pollSettings = publishedSettings(TRUE);
    settingsPublication.pollingThread = GetCurrentThreadId();
}

void releaseSettingsAfterPoll(void)
{
    settingsPublication.pollingThread = 0;
    releaseIgnoredProgramsAfterPoll();
}
