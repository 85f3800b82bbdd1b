#pragma once
#include "run/RunOptions.h"

// The guards, the unattended resume and the cleanup driver; returns the
// process exit code.
int RunSequence(RunOptions options);
