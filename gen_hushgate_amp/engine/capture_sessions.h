// The capture devices and their audio sessions, watched by the watch thread alone: a look lists
// the programs that capture, which the call rule takes from there. Fixed tables, every entry
// registered for its notices and unregistered before it goes.
#pragma once
#include <windows.h>

#include "engine/device_id.h"

struct IMMDeviceEnumerator;
struct IAudioSessionManager2;
struct IAudioSessionControl;
struct IAudioSessionControl2;

enum { MAX_CAPTURE_DEVICES = 8, MAX_CAPTURE_SESSIONS = 32, MAX_CAPTURING_PROGRAMS = 16 };

// The programs other than the player that capture now, each once.
struct CapturingPrograms {
    DWORD processIds[MAX_CAPTURING_PROGRAMS];
    LONG count;
};

struct CaptureDevice {
    BOOL present;
    BOOL listed;  // in the latest listing of the devices
    WCHAR id[DEVICE_ID_CAPACITY];
    IAudioSessionManager2 *manager;  // NULL where the system has no session interfaces (Vista)
    BOOL creationNoticed;            // its new-session notices are registered
    BOOL blind;                      // it lists no sessions: nothing to see until it comes again
};
struct CaptureSessions {
    IMMDeviceEnumerator *enumerator;
    CaptureDevice devices[MAX_CAPTURE_DEVICES];
    IAudioSessionControl2 *sessions[MAX_CAPTURE_SESSIONS];  // each with its state notices registered
    // Handed over by the new-session notices, kept until the next look watches them.
    IAudioSessionControl *volatile handedOver[MAX_CAPTURE_SESSIONS];
    volatile LONG sessionsChanged;  // set by the session notices
    LONG endpointChangesSeen;       // the platform's count of endpoint changes at the last look
    BOOL watching;       // looked at once since the watch began
    BOOL missesChanges;  // a registration or a read failed, or a table is full: look at every poll
    BOOL noSessionInterfaces;  // the system has no IAudioSessionManager2 (Vista): never look again
};
extern CaptureSessions captureSessions;

// Looks where a notice (or a failed registration) says to: TRUE when it looked, with what it found.
BOOL listCapturingProgramsIfChanged(CapturingPrograms &found);
// Undoes every registration and releases everything.
void stopWatchingCaptureSessions(void);
// The first microphone's session manager still answers: FALSE once the audio service stopped
// or came back since it was taken; TRUE with none held.
BOOL captureWatchAnswers(void);
