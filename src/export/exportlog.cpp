#include "exportlog.h"

Q_LOGGING_CATEGORY(exportLog, "trimlet.export")
