#pragma once

class QProcess;

// Makes the process, once started, end with this program: an export's ffmpeg must not run on
// (and leave its half-written file) after the program that started it was killed. Linux only;
// elsewhere nothing changes. Call before start(), from the thread that lives as long as the program.
void endWithThisProgram(QProcess &process);
