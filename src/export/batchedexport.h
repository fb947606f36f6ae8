#pragma once

#include "exportcommand.h"
#include "exportrunner.h"

#include <QList>
#include <QString>

// An export of many parts, a few parts per ffmpeg run. ffmpeg opens a decoder for every
// input at start and keeps its frames to the end, so one run over the whole edit needs memory
// in proportion to its parts. Each run here writes a piece (the pictures as H.264 in MP4, the
// sound as float WAV), and a last run joins the pieces: the pictures copied, the sound encoded
// once, so it has no seam where the pieces meet.
namespace BatchedExport {

// Parts per run for this source: the decoders' frames of one run stay near the same size
// whatever the frame size.
int partsPerBatch(const SourceFacts &source);
// Edits of at most this many parts stay one run: every further run starts ffmpeg and its
// encoder again, which costs more time than a small edit's decoders cost memory.
int partsInOneRun(const SourceFacts &source);
// For tests and benchmarks: a positive count runs every edit of more parts in batches of that
// many, 0 restores the choice by frame size, and a negative count keeps every export in one run.
void setPartsPerBatch(int parts);
// Parts per run for an edit of `parts` parts from this source; 0: one run.
int batchFor(const SourceFacts &source, int parts);

struct Plan {
    QList<ExportRunner::Step> steps;    // the pieces in order, then the join
    QString videoList;                  // concat demuxer lists, the pieces by name
    QString audioList;                  // empty without sound
};

// The runs for input (its outputPath is what the join writes), `parts` parts each, their
// pieces named in `folder`.
Plan plan(const VideoExportInput &input, int parts, const QString &folder);

// Turns the job into batched steps when the edit has more parts than one run takes, with a
// private folder for the pieces beside the output (on the output's file system, which must
// hold the result anyway; a temporary folder may live in memory). False when the job stays
// one run.
bool splitJob(const VideoExportInput &input, ExportRunner::Job &job);

} // namespace BatchedExport
