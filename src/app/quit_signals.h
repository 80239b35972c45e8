#pragma once

// Ends the event loop, as closing the window does, when the session asks
// the program to end (logout or shutdown; SIGTERM, SIGHUP or SIGINT on
// POSIX systems), so that the settings are saved and a running job is
// stopped the same way.
void quitOnTerminationRequests();
