// The cost of one poll of the plug-in's watch loop, beside one poll of the bare loop that makes
// the same platform calls, and what one read of the default speakers' mute costs alone.
#include "bench.h"

#include <algorithm>
#include <stdio.h>

#include "player_window.h"

// The machine's load drifts while other work runs beside the bench: the plug-in and the bare
// loop take turns in short blocks, so that both see the same drift.
static int pollBlocks(void)
{
    return config.quick ? 2 : 8;
}

static int pollsPerBlock(void)
{
    return config.quick ? 10 : 25;
}

static Samples pluginPolls, barePolls, endpointReads;

static int pollsWanted;

static BOOL pluginPollsEnough(void)
{
    return probe.polls.count >= pollsWanted;
}

static BOOL sliceLoopPollsEnough(void)
{
    return sliceLoop.pollTimes.count >= pollsWanted;
}

// Wine's own platform on both sides; the player plays and nothing holds, so every poll makes
// every call and decides nothing.
static void measurePollCost(void)
{
    probe.polls.count = 0;
    sliceLoop.pollTimes.count = 0;
    sliceLoop.endpointReads.count = 0;
    playerWindow.playState = PLAY_STATE_PLAYING;
    for (int block = 1; block <= pollBlocks(); ++block) {
        pollsWanted = block * pollsPerBlock();
        Session session = {};
        startPlugin(session, 100, REAL_PLATFORM);
        pumpMessagesFor(300);  // the first polls open the mixer and register for the notices
        probe.lastWaitExit = 0;
        probe.measuringPolls = 1;
        (void)pumpMessagesUntil(60000, pluginPollsEnough);
        probe.measuringPolls = 0;
        (void)stopPlugin(session);

        startSliceLoop(100, FALSE, TRUE);
        (void)pumpMessagesUntil(60000, sliceLoopPollsEnough);
        (void)stopSliceLoop();
    }
    pluginPolls = probe.polls;
    barePolls = sliceLoop.pollTimes;
    endpointReads = sliceLoop.endpointReads;
}

static const double POLL_RATIO = 1.10;

static double pollRatio(void)
{
    return median(pluginPolls) / median(barePolls);
}

static Verdict pollVerdict(void)
{
    return judge(std::min(pluginPolls.count, barePolls.count), pollRatio() <= POLL_RATIO);
}

static void printPollCostRows(void)
{
    printRow(speakersApply ? "one poll, plug-in (playing; all conditions, speakers' mute and output device read)"
                           : "one poll, plug-in (playing; all conditions)",
             pluginPolls, "ratio to bare <= 1.10", pollVerdict());
    printFigureRow("one poll, the same calls bare", barePolls);
    if (speakersApply)
        printFigureRow("one read of the default speakers' mute (Core Audio)", endpointReads);
}

static void printPollCostNotes(void)
{
    printf("\nPoll cost ratio plug-in/bare (medians): %.2f (target <= 1.10: %s)\n", pollRatio(),
           verdictText(pollVerdict()));
}

const BenchRoom pollCostRoom = {measurePollCost, printPollCostRows, printPollCostNotes};
