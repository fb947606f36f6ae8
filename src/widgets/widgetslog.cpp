#include "widgetslog.h"

Q_LOGGING_CATEGORY(widgetsLog, "trimlet.widgets")
