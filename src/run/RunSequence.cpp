#include "run/RunSequence.h"

#include "logs/Log.h"

int RunSequence(RunOptions options)
{
    (void)options;
    GetDebugLog().WriteLine(L"%ws Entry", L"RunSequence");
    GetDebugLog().WriteLine(L"%ws Exit", L"RunSequence");
    return 0;
}
