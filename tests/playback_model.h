// An executable model of what the plug-in must do: the watch loop's decision table and the
// filter's table, over the player's state and the three conditions. Random walks check the
// real engine against it step by step.
#pragma once
#include <windows.h>

struct ModelState {
    LONG playState;
    LONG pausedByPlugin;
    BOOL locked, saver, muted;
    BOOL speakersMuted;  // the default speakers' own mute, seen from Vista on
    LONG isLock, isScreenSave, isMute;
    BOOL mixerPresent;
    LONG pluginToggles;  // pause toggles the plug-in has sent
};

enum StepKind {
    STEP_POLL,
    STEP_LOCK,
    STEP_SCREEN_SAVER,
    STEP_MUTE,
    STEP_SPEAKER_MUTE,
    STEP_COMMAND,
    STEP_SETTINGS,
    STEP_KIND_COUNT,
};

struct Step {
    StepKind kind;
    LONG value;  // on/off for a condition, the command id, or the settings as three bits
};

void modelStart(ModelState &model, BOOL mixerPresent);
void modelApply(ModelState &model, const Step &step);
BOOL modelHolds(const ModelState &model);
// A random step; withSettings FALSE leaves settings changes out.
Step randomStep(unsigned &seed, BOOL withSettings);
void describeStep(const Step &step, char (&text)[48]);
