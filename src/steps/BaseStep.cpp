#include "steps/BaseStep.h"

#include <exception>

#include "system/Console.h"
#include "system/Format.h"
#include "system/TextConvert.h"

BaseStep::BaseStep(const std::string& name, int number)
    : m_name(name), m_number(number)
{
}

BaseStep::~BaseStep() = default;

void BaseStep::Run(RunOptions* options)
{
    if (options != nullptr && options->silent)
        return;
    ConsoleWrite(FormatWide(L"\n[Step %d/%d] %ws\n", m_number, TotalSteps, Utf8ToWide(m_name).c_str()));
}

bool BaseStep::ShouldRun()
{
    return true;
}

void BaseStep::RunBody(const std::function<void()>& body)
{
    if (!ShouldRun())
        return;
    try {
        body();
    } catch (const std::exception&) {
        m_status = StatusFailed;
    }
}
