#pragma once
#include <functional>
#include <string>

#include "config/RunOptions.h"

// One stage of the cleanup. The driver creates the steps in their fixed
// order, calls Run with its options and reads the status afterwards.
class BaseStep {
public:
    // Status after Run: continue with the next step, stop the run for a
    // restart, or stop it with failure. Any other value continues like 0.
    static constexpr int StatusContinue = 0;
    static constexpr int StatusRestart = 2;
    static constexpr int StatusFailed = -1;

    // The number of steps a full run has; the banners count against it.
    static constexpr int TotalSteps = 8;

    BaseStep(const std::string& name, int number);
    virtual ~BaseStep();

    // Shows the banner "[Step n/8] name" after an empty line unless silent.
    // Concrete steps call it first, then do their body through RunBody.
    virtual void Run(RunOptions* options);
    // Whether the step's body applies on this machine.
    virtual bool ShouldRun();

    int GetStatus() const { return m_status; }
    int GetNumber() const { return m_number; }
    const std::string& GetName() const { return m_name; }

    BaseStep(const BaseStep&) = delete;
    BaseStep& operator=(const BaseStep&) = delete;

protected:
    void SetStatus(int status) { m_status = status; }
    // Runs the body when ShouldRun() holds; a standard exception escaping
    // it sets the status to StatusFailed.
    void RunBody(const std::function<void()>& body);

private:
    std::string m_name;  // UTF-8
    int m_number;
    int m_status = StatusContinue;
};
