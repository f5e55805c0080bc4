#include "app/stop_signal.h"

#include <csignal>

namespace ota::backend
{
namespace
{

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void handleStopSignal(int)
{
    g_stopRequested = 1;
}

}  // namespace

CStopSignalGuard::CStopSignalGuard()
{
    g_stopRequested = 0;
    m_previousInterrupt = std::signal(SIGINT, handleStopSignal);
    m_previousTerminate = std::signal(SIGTERM, handleStopSignal);
    m_installed = true;
}

CStopSignalGuard::~CStopSignalGuard() { restore(); }

void CStopSignalGuard::restore()
{
    if (!m_installed)
    {
        return;
    }
    std::signal(SIGINT, m_previousInterrupt == SIG_ERR ? SIG_DFL : m_previousInterrupt);
    std::signal(SIGTERM, m_previousTerminate == SIG_ERR ? SIG_DFL : m_previousTerminate);
    m_installed = false;
}

bool CStopSignalGuard::stopRequested() { return g_stopRequested != 0; }

}  // namespace ota::backend
