// The settings as one whole. The player's thread publishes a new set at once (init, the
// dialog's OK), and every reader takes a whole set, never one part old and one part new; the
// watch thread takes one at the start of each poll and decides the whole poll on it.
#pragma once
#include "plugin/plugin.h"

// Only the player's thread publishes: one writer, so readers never wait on each other.
void publishSettings(const Settings &next);
// Within a poll, on the thread that polls, the set the poll began with; anywhere else, the
// set published last.
Settings settingsInForce(void);
void holdSettingsForPoll(void);
void releaseSettingsAfterPoll(void);
