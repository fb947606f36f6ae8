#pragma once

#include <QString>

// The export progress dialog's words: the percentage, then the time so far, the speed
// against real time and the time left, each once it can be told.
namespace ProgressText {

// percent of the output done, after elapsedMs of work on mediaMs of output in all.
QString describe(int percent, qint64 elapsedMs, qint64 mediaMs);

} // namespace ProgressText
