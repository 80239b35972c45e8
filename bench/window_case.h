#pragma once

#include "report.h"
#include "workspace.h"

#include <vector>

// E: the whole window on the offscreen platform copying tree A: how late the
// GUI thread gets, how long the last log line trails the job, and how much
// memory the log of every copied file takes. Needs a QApplication.
std::vector<Bound> runWindowCase(Workspace &space, int runs);
