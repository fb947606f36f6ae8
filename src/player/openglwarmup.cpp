#include "openglwarmup.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>

namespace {
bool composes = false;
}

bool openGLComposes()
{
    return composes;
}

void warmUpOpenGL()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!context.create() || !context.makeCurrent(&surface))
        return;
    composes = QOpenGLShaderProgram::hasOpenGLShaderPrograms(&context);
    // The first draw compiles the renderer's own code paths.
    context.functions()->glClear(GL_COLOR_BUFFER_BIT);
    context.functions()->glFinish();
    context.doneCurrent();
}
