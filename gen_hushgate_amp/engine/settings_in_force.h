// The settings as one whole. The player's thread publishes a new set at once (init, the
// dialog's OK), and every reader takes a whole set, never one part old and one part new; the
// watch thread takes one at the start of each poll and decides the whole poll on it.
#pragma once
#include "plugin/plugin.h"

// Only the player's thread publishes: one writer, so readers never wait on each other. The list
// of programs never a call goes out in the same set (cut as setIgnoredPrograms takes it); NULL
// keeps the list as it is.
void publishSettings(const Settings &next, const WCHAR *ignoredList = NULL, BOOL cut = FALSE);
// Within a poll, on the thread that polls, the set the poll began with; anywhere else, the
// set published last. The list of programs never a call is held with the set.
Settings settingsInForce(void);
void holdSettingsForPoll(void);
void releaseSettingsAfterPoll(void);
