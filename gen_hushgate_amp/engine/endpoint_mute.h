// The default render endpoint's mute through Core Audio, and the watch thread's registration
// for its changes. Used where the system has Core Audio; elsewhere no COM call is ever made.
// Every read and write is complete in itself: no interface outlives it.
#pragma once
#include <windows.h>

struct IAudioEndpointVolume;

// The speakers whose mute notices the watch thread holds: the default output when they were
// registered, moved to the new default between two polls.
struct SpeakerMuteWatch {
    IAudioEndpointVolume *watchedSpeakers;
    LONG defaultMovesSeen;  // the platform's count of default moves when they were registered
    volatile LONG lastMuteTold;  // by the notices, -1 before the first: only a change wakes the loop
};
extern SpeakerMuteWatch speakerMuteWatch;

enum MuteReading { MUTE_CLEAR, MUTE_SET, MUTE_UNKNOWN };
// No device reads as clear; a device whose mute cannot be read, as unknown.
MuteReading readEndpointMuteState(void);
LONG readEndpointMute(void);
BOOL writeEndpointMute(LONG value);
// The watch thread's: registered at its start and again between polls while it did not hold or
// the default moved; undone at its end.
void watchSpeakerMute(void);
void unwatchSpeakerMute(void);
// The speakers whose notices are held still answer: FALSE once the audio service stopped or
// came back since they were registered, which nothing else may show; TRUE with none held.
BOOL watchedSpeakersAnswer(void);
inline BOOL speakersWatched(void) { return speakerMuteWatch.watchedSpeakers != NULL; }
