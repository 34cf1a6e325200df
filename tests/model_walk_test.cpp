// A seeded random walk over conditions, user commands, settings and polls, with the engine's
// poll step driven directly on this thread; every step is checked against the model. A
// failure prints the seed and the shortest step list that still fails.
#include <stdio.h>
#include <stdlib.h>

#include "engine/watch_loop.h"
#include "playback_model.h"
#include "simulated_speakers.h"
#include "test_support.h"

enum { DEFAULT_WALK_STEPS = 10000, MAX_WALK_STEPS = 200000 };

static LONG loopTogglesSeen;
static void countLoopToggles(const PlayerEvent &event)
{
    if (event.id == CMD_PAUSE && pluginState.issuingCommand)
        ++loopTogglesSeen;
}

class ModelWalk : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        installFilter();
        playerWindow.onEvent = countLoopToggles;
    }
    void TearDown() override
    {
        playerWindow.onEvent = NULL;
        PluginTest::TearDown();
    }
    void startWalk(ModelState &model)
    {
        resetConditions();
        setSettings(1, 1, 1, 100);
        pluginState.pausedByPlugin = 0;
        playerWindow.playState = PLAY_STATE_PLAYING;
        loopTogglesSeen = 0;
        modelStart(model, mixerGetNumDevs() > 0);
    }
    void applyToEngine(const Step &step)
    {
        if (step.kind == STEP_POLL)
            pollOnce();
        else if (step.kind == STEP_SETTINGS)
            setSettings(step.value & 1, (step.value >> 1) & 1, (step.value >> 2) & 1, 100);
        else
            (void)applyStepToPlayer(step);
    }
    BOOL engineMatches(const ModelState &model)
    {
        return playerWindow.playState == model.playState && pluginState.pausedByPlugin == model.pausedByPlugin &&
               (readSystemMute() != 0) == (model.muted != FALSE) && speakersMuted() == (model.speakersMuted != FALSE) &&
               loopTogglesSeen == model.pluginToggles;
    }
    // The index of the first step after which engine and model differ, or -1.
    int replay(const Step *steps, int count)
    {
        ModelState model;
        startWalk(model);
        for (int i = 0; i < count; ++i) {
            applyToEngine(steps[i]);
            modelApply(model, steps[i]);
            if (!engineMatches(model))
                return i;
        }
        return -1;
    }
    // Drops steps one at a time for as long as the walk still fails without them.
    int shrink(Step *steps, int count)
    {
        for (int i = 0; i < count;) {
            Step removed = steps[i];
            MoveMemory(steps + i, steps + i + 1, (count - i - 1) * sizeof *steps);
            int failedAt = replay(steps, count - 1);
            if (failedAt >= 0) {
                count = failedAt + 1;
                continue;
            }
            MoveMemory(steps + i + 1, steps + i, (count - i - 1) * sizeof *steps);
            steps[i] = removed;
            ++i;
        }
        return count;
    }
};

static Step walkSteps[MAX_WALK_STEPS];

TEST_F(ModelWalk, EveryStepAgreesWithTheModel)
{
    unsigned seed = getenv("HUSHGATE_SEED") != NULL ? (unsigned)strtoul(getenv("HUSHGATE_SEED"), NULL, 10) : 20261207u;
    int count = getenv("HUSHGATE_WALK_STEPS") != NULL ? atoi(getenv("HUSHGATE_WALK_STEPS")) : DEFAULT_WALK_STEPS;
    count = count < 1 ? 1 : count > MAX_WALK_STEPS ? MAX_WALK_STEPS : count;
    printf("model walk: seed %u, %d steps (HUSHGATE_SEED, HUSHGATE_WALK_STEPS)\n", seed, count);
    unsigned state = seed;
    for (int i = 0; i < count; ++i)
        walkSteps[i] = randomStep(state, TRUE);
    int failedAt = replay(walkSteps, count);
    if (failedAt < 0)
        return;
    int shortest = shrink(walkSteps, failedAt + 1);
    std::string listing;
    for (int i = 0; i < shortest; ++i) {
        char text[48];
        describeStep(walkSteps[i], text);
        listing += std::string("\n  ") + text;
    }
    ADD_FAILURE() << "seed " << seed << ": engine and model part at step " << failedAt
                  << "; shortest failing walk:" << listing;
}
