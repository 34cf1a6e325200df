// Other programs with audio sessions on the simulated microphones: a meeting app that calls,
// and a streaming tool that records all evening. Each is a real process started from its own
// file beside the player, so that Windows can tell its name; until started, a session names a
// made-up process id, this process's own plus a few.
#pragma once
#include <windows.h>

enum OtherProgram { MEETING_APP, STREAM_RECORDER, OTHER_PROGRAM_COUNT };
enum { OTHER_PROGRAM_MESSAGE_SIZE = MAX_PATH + 120 };

const char *otherProgramFileName(OtherProgram program);
// Started once and kept until endOtherPrograms (or until the player ends); FALSE, with the
// reason, when its file is missing or will not start.
BOOL startOtherProgram(OtherProgram program, char (&why)[OTHER_PROGRAM_MESSAGE_SIZE]);
DWORD otherProgramId(OtherProgram program);
void endOtherPrograms(void);
// The program starts capturing on the microphone (its session made active, or made there at
// its first start), and stops again.
void startProgramCapture(OtherProgram program, LONG microphone);
void stopProgramCapture(OtherProgram program);
BOOL programCapturing(OtherProgram program);
