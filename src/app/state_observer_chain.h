#pragma once

#include "upgrade/upgrade_execution_service.h"

#include <exception>
#include <utility>

namespace ota::backend
{

// An observer that runs inner, then after, with every published state. after runs even when
// inner failed (recording or broadcasting the state), and inner's failure is then passed on to
// the publisher, which logs it.
template <typename After>
UpgradeStateSnapshotObserver chainStateObserver(UpgradeStateSnapshotObserver inner, After after)
{
    return [inner = std::move(inner), after = std::move(after)](const ExecutionStatePtr& state)
    {
        std::exception_ptr innerFailure;
        try
        {
            if (inner)
            {
                inner(state);
            }
        }
        catch (...)
        {
            innerFailure = std::current_exception();
        }
        after(state);
        if (innerFailure)
        {
            std::rethrow_exception(innerFailure);
        }
    };
}

}  // namespace ota::backend
