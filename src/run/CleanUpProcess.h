#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "config/RunOptions.h"
#include "steps/BaseStep.h"

// Runs one cleanup: greets the user (or refuses while a restart is
// outstanding), loads the configuration, creates the steps from the resume
// step on, runs them in order and turns their outcome into the exit code.
class CleanUpProcess {
public:
    // Creates the steps whose number is not below fromStep, in run order.
    using StepFactory = std::function<std::vector<std::unique_ptr<BaseStep>>(int fromStep)>;

    // Opens the result log "UninstallLog.xml". The factory gives the steps;
    // the product's is CreateCleanupSteps.
    explicit CleanUpProcess(RunOptions options, StepFactory stepFactory = StepFactory());
    ~CleanUpProcess();

    // Greeting, "Continuing cleanup", the pending-restart refusal and the
    // "Before you can continue" prompt. False: the cleanup must not run now
    // (the exit code is then restartExitCode).
    bool BeforeRun();
    // Prepares and runs the steps. 0 when every step finished, the restart
    // exit code when a step or the driver step asked for a restart, -1 when
    // the configuration could not be loaded or a step failed.
    int Run();
    // The finishing work after a run that returned 0: the log upload, the
    // resume marker cleared, the closing messages.
    void Finish();

    const RunOptions& GetOptions() const { return m_options; }

    CleanUpProcess(const CleanUpProcess&) = delete;
    CleanUpProcess& operator=(const CleanUpProcess&) = delete;

private:
    bool Prepare();

    std::vector<std::unique_ptr<BaseStep>> m_steps;
    RunOptions m_options;
    StepFactory m_stepFactory;
};
