#pragma once

// Starts the OpenGL driver with a throw-away context. The first context of the process is the
// slow one (a software renderer takes about 100 ms); made while the window is already on
// screen, the displays that follow come up quickly. Once per process; GUI thread only.
void warmUpOpenGL();
