#pragma once
#include "run/CleanUpProcess.h"
#include "config/RunOptions.h"

// The guards, the unattended resume and the cleanup driver; returns the
// process exit code.
int RunSequence(RunOptions options);

// The same with the driver's steps made by the factory (test harnesses).
int RunSequence(RunOptions options, const CleanUpProcess::StepFactory& stepFactory);
