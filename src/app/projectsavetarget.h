#pragma once

#include "editoperations.h"

#include <QString>
#include <optional>

// Why a project must not be written to path, as "Cannot Save Project": the path is the video
// being edited however it is spelt (links, "..", hard links), or an existing file that is not a
// project this program reads (a video, a document, a device, a pipe). A missing path, an empty
// file and a readable project may be written; a folder is left to the save, which fails.
std::optional<EditMessage> projectSaveRefusal(const QString &path, const QString &videoPath);
