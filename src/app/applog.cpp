#include "applog.h"

#include <cstring>

Q_LOGGING_CATEGORY(appLog, "trimlet.app")

namespace {

QtMessageHandler nextHandler = nullptr;

void unprefixedHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (context.category && std::strncmp(context.category, "trimlet.", 8) == 0) {
        // Qt's format leaves out the category named "default".
        const QMessageLogContext uncategorised(context.file, context.line, context.function, "default");
        nextHandler(type, uncategorised, text);
        return;
    }
    nextHandler(type, context, text);
}

} // namespace

void printTrimletLogUnprefixed()
{
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        return;
    // Qt 6 hands back its default handler when none was installed.
    nextHandler = qInstallMessageHandler(unprefixedHandler);
}
