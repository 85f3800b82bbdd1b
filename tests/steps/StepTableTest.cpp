// The step table and the step framework's status convention.
#include <gtest/gtest.h>

#include <stdexcept>

#include "steps/Steps.h"

namespace {

class BodyStep : public BaseStep {
public:
    BodyStep(bool applies, std::function<void()> body)
        : BaseStep("Test step", 4), m_applies(applies), m_body(std::move(body)) {}
    void Run(RunOptions* options) override
    {
        BaseStep::Run(options);
        RunBody(m_body);
    }
    bool ShouldRun() override { return m_applies; }

private:
    bool m_applies;
    std::function<void()> m_body;
};

} // namespace

TEST(StepTable, NumbersNamesAndStartingStep)
{
    const char* const names[] = {
        "Pre handling special version ZRA ...",           "Uninstalling ZRA using Halvora Meta-Installer...",
        "Uninstalling ZRA using Windows Installer...",    "Terminating ZRA processes...",
        "Removing ZRA services...",                       "Deleting ZRA files...",
        "Disabling and removing ZRA drivers...",          "Removing ZRA Registry entries...",
    };
    for (int from : {-3, 0, 1}) {
        const auto steps = CreateCleanupSteps(from);
        ASSERT_EQ(8u, steps.size()) << from;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(i + 1, steps[i]->GetNumber());
            EXPECT_EQ(names[i], steps[i]->GetName());
            EXPECT_EQ(BaseStep::StatusContinue, steps[i]->GetStatus());
            // Only the pre-step decides by the machine (no agent here).
            if (i != 0)
                EXPECT_TRUE(steps[i]->ShouldRun());
        }
    }
    const auto fromFive = CreateCleanupSteps(5);
    ASSERT_EQ(4u, fromFive.size());
    EXPECT_EQ(5, fromFive.front()->GetNumber());
    EXPECT_EQ(8, fromFive.back()->GetNumber());
    EXPECT_TRUE(CreateCleanupSteps(9).empty());
    EXPECT_FALSE(CreateCleanupStep(0));
    EXPECT_FALSE(CreateCleanupStep(9));
}

TEST(StepTable, MachineWithoutTheAgentFinishesEveryStepWithStatusZero)
{
    RunOptions options;
    options.silent = true;
    for (auto& step : CreateCleanupSteps(1)) {
        step->Run(&options);
        EXPECT_EQ(BaseStep::StatusContinue, step->GetStatus()) << step->GetName();
    }
    // The pre-step sets the resume step whatever it finds.
    EXPECT_EQ(2, options.step);
    EXPECT_FALSE(options.driverReboot);
}

TEST(StepFramework, EscapingExceptionFailsTheStepAndSkippedBodyDoesNotRun)
{
    RunOptions options;
    options.silent = true;
    BodyStep throwing(true, [] { throw std::runtime_error("boom"); });
    throwing.Run(&options);
    EXPECT_EQ(BaseStep::StatusFailed, throwing.GetStatus());

    bool ran = false;
    BodyStep skipped(false, [&ran] { ran = true; throw std::runtime_error("must not run"); });
    skipped.Run(&options);
    EXPECT_FALSE(ran);
    EXPECT_EQ(BaseStep::StatusContinue, skipped.GetStatus());
}
