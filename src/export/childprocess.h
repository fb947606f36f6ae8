#pragma once

#include <functional>

class QProcess;

// Makes the process, once started, end with this program: an export's ffmpeg must not run on
// (and leave its half-written file) after the program that started it was killed. Linux only;
// elsewhere nothing changes. Call before start(), from the thread that lives as long as the program.
void endWithThisProgram(QProcess &process);


// Waits until done() holds or timeoutMs passes, without freezing the window when called on the
// GUI thread: it keeps painting while user input waits. Returns done().
bool waitWithoutFreezing(const std::function<bool()> &done, int timeoutMs);
