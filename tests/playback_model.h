// What the plug-in promises, as an executable model written from the README alone: the player,
// the machine around it (session, sleep, screen saver, mutes, outputs, microphones, clock) and
// what the plug-in must do about each. Random walks check the real engine against it step by step.
#pragma once
#include <windows.h>

// The outputs, in the order Windows lists them; MODEL_NOWHERE: none.
static const LONG MODEL_SPEAKERS = 0, MODEL_HEADPHONES = 1, MODEL_OUTPUTS = 2, MODEL_NOWHERE = -1;
// The default microphone first; more than the plug-in's table holds. Other programs that may capture.
static const LONG MODEL_MICROPHONES = 10, MODEL_PROGRAMS = 3, MODEL_QUEUE = 64;
// Thirteen more programs that capture and stop together on the default microphone, acting as one
// program would: with the three, the 16 programs the plug-in follows at once; two sessions
// each, more than its table of sessions holds. (Past 16 programs the README promises nothing for those not followed.)
static const LONG MODEL_CROWD = MODEL_PROGRAMS, MODEL_CROWD_SIZE = 13;
// The programs' file names: the three start as the first three; a process id that another
// program takes may go to any. The list of programs never a call is a mask of them.
static const LONG MODEL_NAMES = 4;
extern const char *const modelProgramNames[MODEL_NAMES];
// Where a program's process ended and its id went to another, the call of the one that ended
// is followed here (programs[MODEL_ENDED + program]) until it is over.
static const LONG MODEL_ENDED = MODEL_CROWD + 1, MODEL_RECORDS = MODEL_ENDED + MODEL_PROGRAMS;

// Waiting on the player's thread, in the order posted.
enum QueuedMessage { QUEUED_LOCK, QUEUED_UNLOCK, QUEUED_DISCONNECT, QUEUED_CONNECT, QUEUED_RETRY, QUEUED_WAKE };
enum ToldLock { TOLD_UNLOCKED, TOLD_LOCKED, TOLD_BY_THE_PROBE };
// MODEL_WAKING: a user woke it, and neither the session nor the desktop said a lock: the music
// waits MODEL_LOCK_AFTER_WAKE_MS for one told late.
enum ModelSleep { MODEL_AWAKE, MODEL_SUSPENDED, MODEL_WOKE_UNATTENDED, MODEL_WAKING };
static const DWORD MODEL_LOCK_AFTER_WAKE_MS = 1000;
// The plug-in's pause: none, its own, or a hold of its own the user played over ("a start of
// yours during a hold pauses nothing more until every condition has ended").
// The Windows a walk runs on, by what it gives the plug-in: 2000 no session notices and no Core
// Audio; XP the notices and the mixer; Vista Core Audio without other programs' sessions; 7 all
// of it, its session telling its lock inverted; 8 and later all of it.
enum ModelGeneration { MODEL_WINDOWS_2000, MODEL_WINDOWS_XP, MODEL_WINDOWS_VISTA, MODEL_WINDOWS_7, MODEL_WINDOWS_8_ON };
enum ModelPause { MODEL_NO_PAUSE, MODEL_OWN_PAUSE, MODEL_PLAYED_OVER };

struct ModelProgram {
    BOOL followed, capturing, excused, ignored;
    DWORD since, stoppedAt;
};

struct ModelState {
    // The machine and the player.
    LONG playState;
    DWORD now;
    BOOL locked, secureDesktop, asleep, saver;
    BOOL noSessionLibrary;  // Windows 2000: the desktop probe alone
    LONG refusalsLeft;      // the session service is not running yet
    BOOL mixerPresent, mixerMuted, muteUnreadable;
    BOOL outputIn[MODEL_OUTPUTS], outputMuted[MODEL_OUTPUTS];
    // The speakers are a laptop's "Speakers/Headphones": one output that also serves the
    // headphone jack. The jack is looked at where the music plays: through it, at the last look.
    BOOL headphonesInJack, heardThroughJack;
    LONG defaultOutput;
    LONG playerPinned;  // the device the player's output is set to, else MODEL_NOWHERE: the default
    LONG stream;        // the device of the player's own session, MODEL_NOWHERE while it has none
    LONG second;        // a second session of the player's, active while it plays
    BOOL microphoneIn[MODEL_MICROPHONES];
    BOOL microphoneLate[MODEL_MICROPHONES];  // its first activation fails: seen from the look after
    LONG captureOn[MODEL_PROGRAMS + 1];  // the microphone a program captures from, or MODEL_NOWHERE
    LONG nameOf[MODEL_PROGRAMS + 1];     // the file name its process runs; the crowd's are never listed
    LONG queue[MODEL_QUEUE * 2], queued;  // message and its word
    LONG suspends;
    // The settings.
    LONG isLock, isScreenSave, isMute, isDeviceLost, isCall, interval;
    LONG ignoreList;        // CALLIGNORE, a mask of the names
    BOOL ignoreListChanged;  // since the last look
    // What the plug-in knows and did.
    LONG pausedByPlugin, pluginToggles;
    BOOL noticesHold, retryQueued, toldDisconnected;
    LONG toldLock, sleepHold;
    BOOL inputSinceWake;
    LONG watched;  // the output the music plays on, as last seen; MODEL_NOWHERE: none
    BOOL watchedFromSession;
    ModelProgram programs[MODEL_RECORDS];
    BOOL callHolds, sawPlaying;
    LONG alsoOn[MODEL_PROGRAMS + 1];  // a second microphone a program captures from, or MODEL_NOWHERE
    // The session's own word on its lock can be asked (Windows 7 on); with "sign in on wake" a
    // sleep locks it untold, and the notice comes after the wake.
    BOOL sessionTells, lockToldAfterWake, lockNoticeHeld;
    DWORD userWokeAt;
    LONG generation;
    // The audio service is stopped (a driver update, a crash): nothing of Core Audio is seen or
    // told but the devices themselves, until it is back.
    BOOL audioAway;
};

static const LONG SETTINGS_DURING_A_LOOK = 1 << 12;

enum StepKind {
    STEP_POLL,            // the interval ran out: one look
    STEP_TIME,            // value ms pass; the looks come at the interval and at the call rule's moments
    STEP_LOCK,            // value: locked; the session's notice handled at once
    STEP_SESSION_NOTICE,  // value: a WTS_ event, posted; a lock or unlock is the desktop's truth at once
    STEP_MESSAGES,        // the player's thread takes what waits in its queue
    STEP_SECURE_DESKTOP,  // an elevation prompt comes (1) or goes (0)
    STEP_SESSION_SERVICE, // the session service starts: registrations hold from now on
    STEP_SUSPEND,
    STEP_WAKE,            // value 1: with a user (the user's resume), 0: the automatic resume alone
    STEP_ASLEEP,          // the clock moves value minutes while the machine sleeps
    STEP_INPUT,           // the user moves the mouse
    STEP_SCREEN_SAVER,
    STEP_MUTE,            // the mixer's mute: value 0/1 off/on, told by the driver; 2/3 the same untold
    STEP_SPEAKER_MUTE,    // the default output's own mute
    STEP_MUTE_UNREADABLE,
    STEP_OUTPUT,          // value: device * 2 + present
    STEP_DEFAULT_OUTPUT,  // value: the device the user picks
    STEP_PLAYER_OUTPUT,   // value: the device the player is set to, MODEL_NOWHERE: the default
    STEP_SECOND_SESSION,  // value: its device, MODEL_NOWHERE: none
    STEP_CAPTURE,         // value: program * 16 + microphone + 1, the microphone 0: it stops
    STEP_NO_CALL,         // value 0/1: the player's own capture stops/starts; 2/3: the system sounds'
    STEP_MICROPHONE,      // value: microphone * 4 + present * 2 + its first activation fails
    STEP_CROWD,           // value: the crowd captures (1) or stops (0)
    STEP_COMMAND,
    STEP_SETTINGS,        // the dialog's OK: value bits lock, saver, mute, the interval's index (3 bits),
                          // ISDEVICELOST, ISCALL, from bit 8 the mask of CALLIGNORE's names, and bit
                          // SETTINGS_DURING_A_LOOK: pressed while the watch thread's look runs
    STEP_RESTART,         // quit, then init: value bits ISDEVICELOST, ISCALL (set by hand meanwhile)
    STEP_PROCESS_ID_REUSED,  // value: program * 16 + name * 2 + 1 if it captures at once: the program's
                             // process ends, and its id goes to a new process of that name
    STEP_JACK,            // value 0/1: headphones pulled from / plugged into the speakers' jack; 2/3: the
                          // same reported by a jack that cannot tell, which means nothing
    STEP_UNLISTED_SESSIONS,  // value 1: a session announced from now on may be missing from later lists, as
                             // Windows documents it; 0: every list shows it
    STEP_SHARED_SESSIONS,    // value 1: sessions made from now on serve several processes; 0: one each
    STEP_SESSION_ENDS,       // value: program * 2 + 1 if cut off: the session it captures on expires, or is
                             // disconnected (an exclusive-mode stream took the microphone)
    STEP_SECOND_MICROPHONE,  // value: program * 16 + microphone + 1, the microphone 0: it stops: the program
                             // captures from a second microphone besides the first
    STEP_DEFAULT_MICROPHONE, // value: the microphone the user makes the default
    STEP_LOCK_TOLD_LATE,  // the lock a sleep made untold is posted at last
    STEP_REMOTE_SESSION,  // value: a remote client connects (1) or goes (0), posted
    STEP_CRITICAL_RESUME, // the wake after a critical suspend (a battery run flat): nobody said to be there
    STEP_AUDIO_SERVICE,   // value 0: the audio service stops, 1: it is running again
    STEP_KIND_COUNT,
};

struct Step {
    StepKind kind;
    LONG value;
};

enum WalkLockSource { LOCK_FROM_NOTICES, LOCK_SERVICE_LATE, LOCK_NO_SESSION_LIBRARY };

static const LONG modelIntervals[] = {100, 250, 500, 1000, 3000, 10000};

// A machine awake, unlocked, nothing muted, the player playing on the speakers; every switch on.
void modelStart(ModelState &model, BOOL mixerPresent, WalkLockSource source, DWORD now);
void modelApply(ModelState &model, const Step &step);
// How long until the call rule changes its mind by time alone; INFINITE when it never will.
DWORD modelCallDueIn(const ModelState &model);
// The walk's steps (walk_steps.cpp). A random step that makes sense in the state (no second suspend while asleep, say). The thread
// walk asks only for the steps of the player, the lock, the screen saver and the mutes.
Step randomStep(unsigned &seed, const ModelState &model, BOOL everyStep);
void describeStep(const Step &step, char (&text)[192]);
// The mute called the user's (the speakers' own): the default output's.
BOOL modelSpeakersMuted(const ModelState &model);
// What a stopped audio service keeps from being told at once: the sessions' notices and the
// speakers' mute notices. The devices' own notices come from another service, and go on.
// Asked with whether the service is away: the model's word for it, or the simulated platform's.
BOOL stepUnheard(const Step &step, BOOL audioServiceAway);
