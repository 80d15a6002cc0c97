#pragma once
// The progress ticker: a message, then one "." per second until the step ends.

// Prints `message` without a newline, flushes, and starts the ticker. Every
// caller ends its step with endProgress().
void startProgress(const char* message);

// Ends the line and stops the ticker (SIGALRM ignored from now on; an alarm
// already pending expires harmlessly).
void endProgress();

// Installs onProgressTick for SIGALRM and, if that worked, asks for an alarm
// in one second.
void armProgressTick();

// SIGALRM handler: writes "." to descriptor 1 and re-arms.
void onProgressTick(int);
