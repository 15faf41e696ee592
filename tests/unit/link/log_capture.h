// Moved to tests/common; kept while the link suites name it here.
#pragma once
#include "common/log_capture.h"
