// The rules restated as plainly as possible, independent of the engine's code.
#include "playback_model.h"

#include "plugin/host_contract.h"

void modelStart(ModelState &model, BOOL mixerPresent)
{
    ZeroMemory(&model, sizeof model);
    model.playState = PLAY_STATE_PLAYING;
    model.isLock = model.isScreenSave = model.isMute = 1;
    model.mixerPresent = mixerPresent;
}

BOOL modelHolds(const ModelState &model)
{
    return (model.isLock && model.locked) || (model.isScreenSave && model.saver) ||
           (model.isMute && ((model.muted && model.mixerPresent) || model.speakersMuted));
}

static void playerToggles(ModelState &model)
{
    if (model.playState == PLAY_STATE_PLAYING)
        model.playState = PLAY_STATE_PAUSED;
    else if (model.playState == PLAY_STATE_PAUSED)
        model.playState = PLAY_STATE_PLAYING;
}

static void modelPoll(ModelState &model)
{
    BOOL hold = modelHolds(model);
    // A condition begins while the music plays: the plug-in pauses it, and the pause is its own.
    if (hold && !model.pausedByPlugin && model.playState == PLAY_STATE_PLAYING) {
        model.playState = PLAY_STATE_PAUSED;
        model.pausedByPlugin = 1;
        ++model.pluginToggles;
        return;
    }
    // Every condition is over: the plug-in lets go of its pause, and resumes the music only if
    // it is still paused; whatever the user did meanwhile stands.
    if (!hold && model.pausedByPlugin) {
        model.pausedByPlugin = 0;
        if (model.playState == PLAY_STATE_PAUSED) {
            model.playState = PLAY_STATE_PLAYING;
            ++model.pluginToggles;
        }
    }
}

static BOOL startsPlayback(const ModelState &model, LONG command)
{
    return command == CMD_PREVIOUS || command == CMD_PLAY || command == CMD_NEXT ||
           (command == CMD_PAUSE && model.playState == PLAY_STATE_PAUSED);
}

static void modelCommand(ModelState &model, LONG command)
{
    // A manual start while muted clears every mute, so that the music asked for is heard.
    if (startsPlayback(model, command) && model.isMute && ((model.muted && model.mixerPresent) || model.speakersMuted)) {
        model.muted = FALSE;
        model.speakersMuted = FALSE;
        if (!modelHolds(model))
            model.pausedByPlugin = 0;
    }
    switch (command) {
    case CMD_PLAY:
        model.playState = PLAY_STATE_PLAYING;
        break;
    case CMD_PAUSE:
        playerToggles(model);
        break;
    case CMD_STOP:
        model.playState = PLAY_STATE_STOPPED;
        break;
    case CMD_PREVIOUS:
    case CMD_NEXT:
        if (model.playState != PLAY_STATE_STOPPED)
            model.playState = PLAY_STATE_PLAYING;
        break;
    }
}

void modelApply(ModelState &model, const Step &step)
{
    switch (step.kind) {
    case STEP_POLL:
        modelPoll(model);
        break;
    case STEP_LOCK:
        model.locked = step.value;
        break;
    case STEP_SCREEN_SAVER:
        model.saver = step.value;
        break;
    case STEP_MUTE:
        // Without a mixer nothing can be muted.
        model.muted = step.value && model.mixerPresent;
        break;
    case STEP_SPEAKER_MUTE:
        model.speakersMuted = step.value;
        break;
    case STEP_COMMAND:
        modelCommand(model, step.value);
        break;
    case STEP_SETTINGS:
        model.isLock = step.value & 1;
        model.isScreenSave = (step.value >> 1) & 1;
        model.isMute = (step.value >> 2) & 1;
        break;
    case STEP_KIND_COUNT:
        break;
    }
}

static unsigned nextRandom(unsigned &seed)
{
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
}

Step randomStep(unsigned &seed, BOOL withSettings)
{
    Step step = {};
    unsigned roll = nextRandom(seed) % 20;
    // Polls are the most common step, as in life; settings changes the rarest.
    if (roll < 7)
        step.kind = STEP_POLL;
    else if (roll < 13)
        step.kind = (StepKind)(STEP_LOCK + nextRandom(seed) % 4);
    else if (roll < 19 || !withSettings)
        step.kind = STEP_COMMAND;
    else
        step.kind = STEP_SETTINGS;
    if (step.kind == STEP_COMMAND)
        step.value = CMD_PREVIOUS + nextRandom(seed) % 5;
    else if (step.kind == STEP_SETTINGS)
        step.value = nextRandom(seed) % 8;
    else
        step.value = nextRandom(seed) % 2;
    return step;
}

void describeStep(const Step &step, char (&text)[48])
{
    static const char *const kinds[] = {"poll", "lock", "screen saver", "mute", "speakers mute", "command", "settings"};
    static const char *const commands[] = {"previous", "play", "pause", "stop", "next"};
    if (step.kind == STEP_COMMAND)
        wsprintfA(text, "press %s", commands[step.value - CMD_PREVIOUS]);
    else if (step.kind == STEP_SETTINGS)
        wsprintfA(text, "settings lock=%ld saver=%ld mute=%ld", step.value & 1, (step.value >> 1) & 1,
                  (step.value >> 2) & 1);
    else if (step.kind == STEP_POLL)
        wsprintfA(text, "poll");
    else
        wsprintfA(text, "%s %s", kinds[step.kind], step.value ? "on" : "off");
}
