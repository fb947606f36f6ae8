#pragma once

// Loads the system's font configuration on a thread of its own. Reading it (a few dozen XML
// files and the font caches) is the largest single cost of the window's first layout, and
// the GUI thread has other start-up work to do meanwhile. Call once, before the window is
// built; the font library keeps what it loaded for the whole process.
void startFontConfigWarmUp();
