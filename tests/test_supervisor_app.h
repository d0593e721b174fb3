// The application object of the supervisor's test programs: a real
// CSupervisorApp with an echoing debug log.
#pragma once

#include "ovrin.h"
#include "test_app.h"

CSupervisorApp& GetSupervisorForTest();
// Empties the process list and the definition-file settings between tests.
void ResetSupervisorForTest();
