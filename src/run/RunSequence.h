#pragma once
#include "run/CleanUpProcess.h"
#include "config/RunOptions.h"

// The guards, the unattended resume and the cleanup driver; returns the
// process exit code. With options.preview the process switches to preview
// mode first (the entry switches earlier still, before the log folder is
// first used, see IsPreviewRequested).
int RunSequence(RunOptions options);

// The same with the driver's steps made by the factory (test harnesses).
int RunSequence(RunOptions options, const CleanUpProcess::StepFactory& stepFactory);
