// The walk's steps: random ones that make sense where the model stands, and each as a readable
// line for a failing walk's listing. Used by the model walk and the thread walk.
#include "playback_model.h"

#include <wtsapi32.h>

#include "plugin/host_contract.h"

const char *const modelProgramNames[MODEL_NAMES] = {"obs64.exe", "voicemeeter.exe", "Teams.exe", "zoom.exe"};

static unsigned nextRandom(unsigned &seed)
{
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
}

Step randomStep(unsigned &seed, const ModelState &m, BOOL everyStep)
{
    static const StepKind playerSteps[] = {STEP_POLL, STEP_POLL, STEP_LOCK, STEP_SCREEN_SAVER, STEP_MUTE,
                                           STEP_SPEAKER_MUTE, STEP_COMMAND, STEP_COMMAND};
    static const StepKind asleepSteps[] = {STEP_ASLEEP, STEP_WAKE, STEP_WAKE, STEP_SESSION_NOTICE, STEP_CRITICAL_RESUME,
                                           STEP_INPUT, STEP_COMMAND, STEP_AUDIO_SERVICE};
    // The frequent ones more than once: time, captures and commands make the meetings of rules.
    static const StepKind awakeSteps[] = {
        STEP_POLL, STEP_TIME, STEP_TIME, STEP_TIME, STEP_SESSION_NOTICE, STEP_SESSION_NOTICE, STEP_MESSAGES,
        STEP_MESSAGES, STEP_SECURE_DESKTOP, STEP_SESSION_SERVICE, STEP_SUSPEND, STEP_INPUT, STEP_SCREEN_SAVER,
        STEP_MUTE, STEP_SPEAKER_MUTE, STEP_SPEAKER_MUTE, STEP_MUTE_UNREADABLE, STEP_OUTPUT, STEP_OUTPUT,
        STEP_DEFAULT_OUTPUT, STEP_PLAYER_OUTPUT, STEP_SECOND_SESSION, STEP_CAPTURE, STEP_CAPTURE, STEP_CAPTURE,
        STEP_CAPTURE, STEP_CAPTURE, STEP_TIME, STEP_NO_CALL, STEP_NO_CALL, STEP_NO_CALL, STEP_CROWD,
        STEP_MICROPHONE, STEP_MICROPHONE, STEP_COMMAND, STEP_COMMAND, STEP_COMMAND, STEP_COMMAND, STEP_SETTINGS,
        STEP_RESTART, STEP_WAKE, STEP_PROCESS_ID_REUSED, STEP_PROCESS_ID_REUSED, STEP_JACK, STEP_JACK,
        STEP_UNLISTED_SESSIONS, STEP_UNLISTED_SESSIONS, STEP_SHARED_SESSIONS, STEP_SHARED_SESSIONS, STEP_SESSION_ENDS,
        STEP_SECOND_MICROPHONE, STEP_SECOND_MICROPHONE, STEP_DEFAULT_MICROPHONE,
        STEP_LOCK_TOLD_LATE, STEP_LOCK_TOLD_LATE, STEP_REMOTE_SESSION, STEP_CRITICAL_RESUME,
        STEP_AUDIO_SERVICE, STEP_AUDIO_SERVICE};
    Step step = {STEP_POLL, 0};
    if (!everyStep)
        step.kind = playerSteps[nextRandom(seed) % ARRAYSIZE(playerSteps)];
    else if (m.asleep)
        step.kind = asleepSteps[nextRandom(seed) % ARRAYSIZE(asleepSteps)];
    else
        step.kind = awakeSteps[nextRandom(seed) % ARRAYSIZE(awakeSteps)];
    unsigned r = nextRandom(seed);
    static const LONG times[] = {50, 300, 700, 999, 1000, 1001, 1500, 1999, 2000, 2500, 4000};
    static const LONG sleeps[] = {3, 90, 3 * 1440, 26 * 1440, 50 * 1440};
    static const LONG notices[] = {WTS_SESSION_LOCK, WTS_SESSION_UNLOCK, WTS_SESSION_LOCK, WTS_SESSION_UNLOCK,
                                   WTS_CONSOLE_DISCONNECT, WTS_CONSOLE_CONNECT};
    LONG other = MODEL_HEADPHONES;
    switch (step.kind) {
    case STEP_TIME:
        step.value = times[r % ARRAYSIZE(times)];
        break;
    case STEP_ASLEEP:
        step.value = sleeps[r % ARRAYSIZE(sleeps)];
        break;
    case STEP_SESSION_NOTICE:
        step.value = notices[r % ARRAYSIZE(notices)];
        break;
    case STEP_WAKE:
        // Awake, a stray resume (a second broadcast) is what Windows sends after an unattended wake.
        step.value = r % 2;
        break;
    case STEP_OUTPUT:
    case STEP_JACK:
        step.value = (LONG)(r % 4);
        break;
    case STEP_DEFAULT_OUTPUT:
    case STEP_PLAYER_OUTPUT:
    case STEP_SECOND_SESSION:
        other = (LONG)(r % 3) - 1;
        if (other != MODEL_NOWHERE && !m.outputIn[other])
            other = step.kind == STEP_DEFAULT_OUTPUT ? m.defaultOutput : MODEL_NOWHERE;
        step.value = other;
        if (step.kind == STEP_DEFAULT_OUTPUT && other == MODEL_NOWHERE) {
            step.kind = STEP_POLL;
            step.value = 0;
        }
        break;
    case STEP_CAPTURE: {
        LONG program = (LONG)(r % MODEL_PROGRAMS);
        LONG microphone = (LONG)((r / MODEL_PROGRAMS) % (MODEL_MICROPHONES + 2)) - 2;
        if (microphone < 0 || !m.microphoneIn[microphone])
            microphone = microphone == -2 ? 0 : MODEL_NOWHERE;
        step.value = program * 16 + microphone + 1;
        break;
    }
    case STEP_NO_CALL:
        step.value = (LONG)(r % 4);
        break;
    case STEP_MICROPHONE: {
        LONG microphone = 1 + (LONG)(r % (MODEL_MICROPHONES - 1));
        step.value = microphone * 4 + (m.microphoneIn[microphone] ? 0 : 2 + (LONG)((r >> 8) % 2));
        break;
    }
    case STEP_COMMAND:
        step.value = CMD_PREVIOUS + (LONG)(r % 5);
        break;
    case STEP_SETTINGS: {
        // Mostly the switches on: a walk with everything off proves little.
        LONG switches = (LONG)((r % 32) | (r % 3 == 0 ? 0 : 31));
        step.value = (switches & 7) | (LONG)(((r >> 5) % 6) << 3) | ((switches >> 3) << 6);
        step.value |= (LONG)(nextRandom(seed) % 16) << 8;
        if (everyStep && nextRandom(seed) % 4 == 1)
            step.value |= SETTINGS_DURING_A_LOOK;
        break;
    }
    case STEP_MUTE:
        // Some drivers announce no change of the mixer's mute.
        step.value = (LONG)(r % (everyStep ? 4 : 2));
        break;
    case STEP_PROCESS_ID_REUSED: {
        // Sixteen programs at most are followed at once: no id goes to another while the crowd
        // is about, nor twice before the call of the first program to end is over.
        LONG program = (LONG)(r % MODEL_PROGRAMS);
        if (m.programs[MODEL_CROWD].followed || m.captureOn[MODEL_CROWD] != MODEL_NOWHERE ||
            m.programs[MODEL_ENDED + program].followed) {
            step.kind = STEP_POLL;
            break;
        }
        step.value = program * 16 + (LONG)((r / MODEL_PROGRAMS) % MODEL_NAMES) * 2 + (LONG)((r >> 8) % 2);
        break;
    }
    case STEP_CROWD:
        step.value = (LONG)(r % 2);
        for (LONG program = 0; program < MODEL_PROGRAMS; ++program) {
            if (m.programs[MODEL_ENDED + program].followed)
                step.value = 0;
        }
        break;
    case STEP_RESTART:
        step.value = (LONG)(r % 4 == 0 ? r % 3 : 3);
        break;
    case STEP_SESSION_ENDS:
        step.value = (LONG)(r % (MODEL_PROGRAMS * 2));
        break;
    case STEP_SECOND_MICROPHONE: {
        // Never the microphone of its first capture: that is one session, not two.
        LONG program = (LONG)(r % MODEL_PROGRAMS);
        LONG microphone = (LONG)((r / MODEL_PROGRAMS) % MODEL_MICROPHONES);
        if (!m.microphoneIn[microphone] || microphone == m.captureOn[program])
            microphone = MODEL_NOWHERE;
        step.value = program * 16 + microphone + 1;
        break;
    }
    case STEP_DEFAULT_MICROPHONE:
        step.value = (LONG)(r % MODEL_MICROPHONES);
        if (!m.microphoneIn[step.value])
            step.value = 0;
        break;
    case STEP_LOCK_TOLD_LATE:
        if (!m.lockNoticeHeld)
            step.kind = STEP_POLL;
        break;
    case STEP_AUDIO_SERVICE:
        // An outage lasts until the step comes again: a few steps or many, a pause or a call.
        step.value = m.audioAway ? 1 : 0;
        break;
    default:
        step.value = (LONG)(r % 2);
        break;
    }
    return step;
}

void describeStep(const Step &step, char (&text)[192])
{
    static const char *const outputs[] = {"the speakers", "the headphones"};
    static const char *const commands[] = {"previous", "play", "pause", "stop", "next"};
    static const char *const noCalls[] = {"the player's own capture stops", "the player itself captures",
                                          "the system sounds stop capturing", "the system sounds capture"};
    LONG v = step.value;
    const char *onOff = v ? "on" : "off";
    switch (step.kind) {
    case STEP_POLL:
        wsprintfA(text, "a look (the interval ran out)");
        break;
    case STEP_TIME:
        wsprintfA(text, "%ld ms pass", v);
        break;
    case STEP_LOCK:
        wsprintfA(text, "workstation %s (told at once)", v ? "locked" : "unlocked");
        break;
    case STEP_SESSION_NOTICE:
        wsprintfA(text, "session notice posted: %s",
                  v == WTS_SESSION_LOCK ? "lock" : v == WTS_SESSION_UNLOCK ? "unlock"
                  : v == WTS_CONSOLE_DISCONNECT ? "user switched away" : "user back at the console");
        break;
    case STEP_MESSAGES:
        wsprintfA(text, "the player's thread takes its queued messages");
        break;
    case STEP_SECURE_DESKTOP:
        wsprintfA(text, v ? "an elevation prompt comes up (no lock)" : "the elevation prompt is answered");
        break;
    case STEP_SESSION_SERVICE:
        wsprintfA(text, "the session service starts");
        break;
    case STEP_SUSPEND:
        wsprintfA(text, "the machine goes to sleep");
        break;
    case STEP_WAKE:
        wsprintfA(text, v ? "wake: the user's resume" : "wake: the automatic resume alone (nobody there)");
        break;
    case STEP_ASLEEP:
        wsprintfA(text, "asleep for %ld minutes", v);
        break;
    case STEP_INPUT:
        wsprintfA(text, "the user moves the mouse");
        break;
    case STEP_SCREEN_SAVER:
        wsprintfA(text, "screen saver %s", v ? "starts" : "stops");
        break;
    case STEP_MUTE:
        wsprintfA(text, "mixer mute %s%s", v % 2 ? "on" : "off", v >= 2 ? " (the driver announces nothing)" : "");
        break;
    case STEP_SPEAKER_MUTE:
        wsprintfA(text, "default output's mute %s", onOff);
        break;
    case STEP_MUTE_UNREADABLE:
        wsprintfA(text, v ? "the output's mute cannot be read" : "the output's mute can be read again");
        break;
    case STEP_OUTPUT:
        wsprintfA(text, "%s %s", outputs[v / 2], v % 2 ? "plugged in" : "unplugged");
        break;
    case STEP_DEFAULT_OUTPUT:
        wsprintfA(text, "the user makes %s the default", outputs[v]);
        break;
    case STEP_PLAYER_OUTPUT:
        wsprintfA(text, v == MODEL_NOWHERE ? "the player's output follows the default" : "the player's output set to %s",
                  v == MODEL_NOWHERE ? "" : outputs[v]);
        break;
    case STEP_SECOND_SESSION:
        wsprintfA(text, v == MODEL_NOWHERE ? "the player's second session closes" : "the player opens a second session on %s",
                  v == MODEL_NOWHERE ? "" : outputs[v]);
        break;
    case STEP_CAPTURE:
        if (v % 16 == 0)
            wsprintfA(text, "program %ld stops capturing", v / 16 + 1);
        else
            wsprintfA(text, "program %ld captures from microphone %ld", v / 16 + 1, v % 16);
        break;
    case STEP_NO_CALL:
        wsprintfA(text, "%s", noCalls[v % 4]);
        break;
    case STEP_CROWD:
        wsprintfA(text, v ? "%ld more programs capture from microphone 1" : "those %ld programs stop capturing",
                  MODEL_CROWD_SIZE);
        break;
    case STEP_MICROPHONE:
        wsprintfA(text, "microphone %ld %s%s", v / 4 + 1, (v / 2) % 2 ? "plugged in" : "unplugged",
                  v % 2 ? " (its first activation fails)" : "");
        break;
    case STEP_COMMAND:
        wsprintfA(text, "user presses %s", commands[v - CMD_PREVIOUS]);
        break;
    case STEP_SETTINGS: {
        char names[80] = "";
        for (LONG name = 0; name < MODEL_NAMES; ++name) {
            if ((v >> (8 + name)) & 1)
                lstrcatA(lstrcatA(names, " "), modelProgramNames[name]);
        }
        wsprintfA(text, "dialog OK%s: lock %s, screen saver %s, mute %s, output lost %s, call %s, every %ld ms; never a call:%s",
                  v & SETTINGS_DURING_A_LOOK ? " while a look runs" : "", v & 1 ? "on" : "off", v & 2 ? "on" : "off",
                  v & 4 ? "on" : "off", v & 64 ? "on" : "off", v & 128 ? "on" : "off", modelIntervals[(v >> 3) % 6],
                  names[0] != '\0' ? names : " none");
        break;
    }
    case STEP_PROCESS_ID_REUSED:
        wsprintfA(text, "program %ld ends; its process id goes to a new %s%s", v / 16 + 1,
                  modelProgramNames[(v / 2) % MODEL_NAMES], v % 2 ? ", which captures from microphone 1 at once" : "");
        break;
    case STEP_JACK:
        wsprintfA(text, "%s %s the speakers' jack", v < 2 ? "headphones" : "a jack that cannot tell says something is",
                  v % 2 ? "plugged into" : "pulled from");
        break;
    case STEP_RESTART:
        wsprintfA(text, "quit, then init (ISDEVICELOST=%ld ISCALL=%ld)", v & 1, (v >> 1) & 1);
        break;
    case STEP_UNLISTED_SESSIONS:
        wsprintfA(text, v ? "Windows may leave a session it announces out of later lists" : "every list shows every session");
        break;
    case STEP_SHARED_SESSIONS:
        wsprintfA(text, v ? "sessions made from now on serve several processes" : "sessions made from now on serve one process");
        break;
    case STEP_SESSION_ENDS:
        wsprintfA(text, "the session program %ld captures on %s", v / 2 + 1,
                  v % 2 ? "is cut off (an exclusive-mode stream)" : "expires");
        break;
    case STEP_SECOND_MICROPHONE:
        if (v % 16 == 0)
            wsprintfA(text, "program %ld stops capturing from its second microphone", v / 16 + 1);
        else
            wsprintfA(text, "program %ld also captures from microphone %ld", v / 16 + 1, v % 16);
        break;
    case STEP_DEFAULT_MICROPHONE:
        wsprintfA(text, "the user makes microphone %ld the default", v + 1);
        break;
    case STEP_LOCK_TOLD_LATE:
        wsprintfA(text, "session notice posted at last: the lock the sleep made");
        break;
    case STEP_REMOTE_SESSION:
        wsprintfA(text, v ? "session notice posted: a remote client connects" : "session notice posted: the remote client goes");
        break;
    case STEP_CRITICAL_RESUME:
        wsprintfA(text, "wake: the critical resume alone (a battery ran flat)");
        break;
    case STEP_AUDIO_SERVICE:
        wsprintfA(text, v ? "the audio service is running again" : "the audio service stops (a driver update)");
        break;
    case STEP_KIND_COUNT:
        text[0] = '\0';
        break;
    }
}
