#pragma once

// Starts the OpenGL driver with a throw-away context. The first context of the process is the
// slow one (a software renderer takes about 100 ms); made while the window is already on
// screen, the displays that follow come up quickly. Once per process; GUI thread only.
void warmUpOpenGL();

// Whether this display's OpenGL runs shader programs (false until warmUpOpenGL has run, or when
// it found no OpenGL at all). Qt composes a window that holds an OpenGL widget with shaders, and
// without them (indirect OpenGL over a remote X connection, very old drivers) it crashes at the
// first paint: no such widget may be made then.
bool openGLComposes();
