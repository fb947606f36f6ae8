#include "playerlog.h"

Q_LOGGING_CATEGORY(playerLog, "trimlet.player")
