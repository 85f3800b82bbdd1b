#pragma once
#include <string>
#include <vector>

#include "steps/BaseStep.h"

// Step 7: disabling and removing the agent's kernel drivers, in two phases
// across a restart. The first run stops and deletes each driver service,
// sets its start type to disabled and asks for a restart; the run resumed
// after it (driverReboot) also backs up and deletes each driver's service
// key.
class DriverStep : public BaseStep {
public:
    // Status of a step that asked for the driver restart: the run goes on
    // with the next step and restarts after the last one.
    static constexpr int StatusDriverRestart = 3;

    // Takes the driver list of the process-wide configuration.
    DriverStep(int number, const std::string& name);
    // Takes the given driver list (UTF-8 service names).
    DriverStep(int number, const std::string& name, std::vector<std::string> drivers);
    void Run(RunOptions* options) override;

    // The step body; true when a restart is needed (a listed driver was
    // still registered as a service or, in the first phase, still had an
    // enabled start type).
    bool DisableandRemoveDrivers(bool driverReboot);

    const std::vector<std::string>& GetDrivers() const { return m_drivers; }

private:
    std::vector<std::string> m_drivers;
    bool m_rebootRequired = false;
};
