#pragma once

#include <QString>

// What a running export may leave behind when the program dies mid-way: its hidden
// partial output and pieces beside the chosen file, its work folders in the temporary folder.
// Each running program lists them in a file of its own in the user's data folder, held
// by a lock that names the process; lists whose owner is gone are cleared at the next
// start, and only of paths named the way this program names them.
namespace ExportLeftovers {

// Notes a partial output or work folder this program has just made.
void track(const QString &path);

// Removes what programs no longer running left behind; returns how many paths went.
int removeStale();

QString folder();

// Named as this program names its partial outputs (".NAME.XXXXXX.part") and pieces folders
// (".NAME.XXXXXX.pieces") beside an output, or its work folders in the temporary folder
// ("trimlet-WHAT-XXXXXX"); links are never ours.
bool isOwnLeftover(const QString &path);

} // namespace ExportLeftovers
