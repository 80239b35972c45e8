#include "app/quit_signals.h"

// Windows asks a window program to end through its windows (WM_CLOSE,
// WM_ENDSESSION), which Qt already turns into closing the window.
void quitOnTerminationRequests() { }
