// The benchmark's shared harness: timing and samples, the plug-in under test with its imports
// intercepted, the bare slice loop that makes the same platform calls, and the table. Each
// measured figure lives in a room of its own (poll_cost.cpp, reactions.cpp, calls.cpp,
// session_growth.cpp with bare_look.cpp, quit.cpp, idle.cpp).
// A room file defines one BenchRoom (measure, then its table rows, then its lines below the table);
// list it in main.cpp's rooms, where the order is the order of measuring and printing, and in CMake.
#pragma once
#include <windows.h>

#include "plugin_loader.h"

// --- timing and samples ---------------------------------------------------------------------

enum { MAX_SAMPLES = 1024 };

struct Samples {
    double values[MAX_SAMPLES];
    int count;
};

inline void addSample(Samples &samples, double value)
{
    if (samples.count < MAX_SAMPLES)
        samples.values[samples.count++] = value;
}

double percentile(Samples &samples, double fraction);  // sorts the samples in place
double median(Samples &samples);
double worst(Samples &samples);

extern LARGE_INTEGER counterFrequency;

inline double nowMs(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / counterFrequency.QuadPart;
}

// A reaction that never came is recorded as this, so that it cannot pass for a fast one.
const double NEVER = 1e9;

struct BenchConfig {
    const char *pluginPath;
    BOOL quick;
    char settingsPath[MAX_PATH];
};
extern BenchConfig config;

// The plugin.ini the plug-in reads, beside the DLL; FALSE when that path would be too long.
BOOL settingsPathBesidePlugin(void);

// The two check intervals most rooms measure at.
const int SHORT_INTERVAL = 500;
const int LONG_INTERVAL = 10000;
const int INTERVALS[2] = {SHORT_INTERVAL, LONG_INTERVAL};

// --- the plug-in under test, seen through its imports (plugin_under_test.cpp) ----------------

struct PluginProbe {
    volatile LONG measuringPolls;
    double lastWaitExit;  // written by the watch thread, cleared by the bench before it measures
    Samples polls;
    volatile DWORD watchThreadId;
    volatile LONG waitsEntered;
    // Raised by the bench after it changed something; a wait entered after a wait that ended
    // at this generation or later closes a poll that began after the change.
    volatile LONG generation;
    volatile LONG generationAtWaitExit;
    volatile LONG generationPolled;
    volatile LONG heapCalls;
    volatile LONG countingHeap;
};
extern PluginProbe probe;

struct Session {
    LoadedPlugin plugin;
    double loadAndInitMs;
};

enum Platform {
    REAL_PLATFORM,       // Wine's own calls throughout
    SIMULATED_SESSION,   // Wine's own but for the stand-in's session, whose registration holds
                         // unless simulatedSession says otherwise (conditions.h)
    SIMULATED_CHANGES,   // the stand-in's session and speakers, which can lock, mute and unplug
};

// Loads the plug-in with the check interval written to its settings, intercepts its imports
// and calls init; a plug-in that cannot be loaded ends the bench.
void startPlugin(Session &session, int checkTime, Platform platform);
// Calls quit and unloads the plug-in; returns how long quit took.
double stopPlugin(Session &session);
BOOL signalsAttached(void);
// Waits until a whole poll of the plug-in began after whatever the caller just changed.
BOOL waitForPluginPoll(DWORD limitMs);

// --- the bare calls and the bare slice loop (bare_loop.cpp) ----------------------------------

extern BOOL speakersApply;  // Vista and later: a poll reads the default speakers' mute too

// Where the bare loop's poll takes the lock from: the word the session's notices would set, as
// the plug-in's poll does where its registration holds (the bare loop has no notices: nothing
// ever sets it), or the desktop probe, as where none holds.
enum LockTerm { LOCK_FROM_NOTICES, LOCK_FROM_PROBE };

// A watch loop without signals, made of the same platform calls as the plug-in's poll, with one
// device enumerator kept for the life of its thread: a poll, then the interval slept away in
// 100 ms slices with the stop flag looked at before each slice.
struct SliceLoop {
    DWORD interval;
    LockTerm lockTerm;
    BOOL reacts;      // toggles the player's pause on what its poll finds
    BOOL timesPolls;  // and then times one speakers' read apart, outside the poll
    HANDLE thread;
    CRITICAL_SECTION stopLock;
    LONG stop;
    volatile LONG polls;
    volatile LONG sleeps;
    LONG pausedByLoop;
    Samples pollTimes;
    Samples endpointReads;
};
extern SliceLoop sliceLoop;

// Binds the system's Sleep, finds the player's mixer mute and whether the speakers apply.
void prepareBareLoop(void);
// Without notices of its own the bare loop probes the desktop, unless told to poll as the plug-in
// does where its notices hold.
void startSliceLoop(DWORD interval, BOOL reacts, BOOL timesPolls, LockTerm lockTerm = LOCK_FROM_PROBE);
// The loop's quit: the flag raised, then its thread waited for; returns how long that took.
double stopSliceLoop(void);
// The same poll on the calling thread, outside the loop, deciding nothing: the enumerator is made
// in the thread's apartment by beginBareCalls and let go with the apartment by endBareCalls.
HRESULT beginBareCalls(void);
void barePoll(LockTerm lockTerm);
void endBareCalls(HRESULT apartment);

// --- the capture sessions' look, bare (bare_look.cpp) ----------------------------------------

enum { MICROPHONES = 8 };
// The index-th of the microphones present: the default one, the headset, then the extra ones.
LONG microphoneAt(LONG index);
// Each microphone's session manager, kept between looks as the plug-in keeps them; made in the
// calling thread's apartment.
void openBareLook(void);
void closeBareLook(void);
// One look of the plug-in's kind; the sessions it watches are let go by the next, or the close.
void lookBare(void);
LONG bareSessionsWatched(void);

// --- the plug-in's own library, linked in (calls.cpp) ----------------------------------------

// Its settings as the player's plug-in would have them, every condition on, ISCALL as the caller
// sets it; its poll is then called directly on the player's thread.
void prepareLinkedPlugin(void);

// --- the table (harness.cpp) ----------------------------------------------------------------

enum Verdict { MET, NOT_MET, NOT_MEASURED };

// A target judged on no samples is not measured, whatever its comparison says; a comparison
// passes the smaller count of its two sides. Every target not measured fails the run's exit status.
Verdict judge(int samples, BOOL met);
const char *verdictText(Verdict verdict);
BOOL someTargetNotMeasured(void);

void printMachine(void);
void printTableHead(void);
// Two decimals, unless told more for a figure of a few microseconds.
void printRow(const char *what, Samples &samples, const char *target, Verdict verdict, int decimals = 2);
// A row without a target is there to be compared with the one above it.
void printFigureRow(const char *what, Samples &samples, int decimals = 2);

// --- rooms ----------------------------------------------------------------------------------

struct BenchRoom {
    void (*measure)(void);
    void (*printRows)(void);   // its rows of the table, or NULL
    void (*printNotes)(void);  // its lines below the table, or NULL
};

extern const BenchRoom pollCostRoom, idleRoom, reactionRoom, callRoom, sessionGrowthRoom, quitRoom;
