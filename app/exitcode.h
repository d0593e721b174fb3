// The exit codes of Ovrin.exe, in one place: scripts test them and README.md
// lists them. 0 means the run did what was asked; every failure has its own
// code, so that a script can tell a typo from a missing server.
#pragma once

#include "common/servapp.h"

enum {
    EXIT_CODE_OK = 0,
    // The definition file is invalid, unreadable or was missing (the
    // template has been written); nothing was started.
    EXIT_CODE_INVALID_DEFINITION = 1,
    // An option or word that the program does not take; the usage was shown.
    EXIT_CODE_USAGE = 2,
    // The control pipe is served by another program.
    EXIT_CODE_PIPE_SERVED = 3,
    // The client could not connect to the server.
    EXIT_CODE_NOT_CONNECTED = 4,
    // -i or -r failed: the service could not be installed, started, stopped
    // or removed.
    EXIT_CODE_SERVICE_FAILED = CServiceApp::SERVICE_EXIT_FAILED,
    // -i found the service running already, -r found no service: nothing was
    // changed.
    EXIT_CODE_SERVICE_UNCHANGED = CServiceApp::SERVICE_EXIT_UNCHANGED,
};
