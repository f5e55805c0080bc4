#pragma once

namespace ota::backend
{

// SIGINT and SIGTERM set one process-wide flag that the main loop reads every pass; the
// previous handlers are kept and restored before shutdown.
class CStopSignalGuard
{
public:
    CStopSignalGuard();  // clears the flag and installs the handler for both signals
    ~CStopSignalGuard();  // restores the previous handlers (idempotent with restore())
    CStopSignalGuard(const CStopSignalGuard&) = delete;
    CStopSignalGuard& operator=(const CStopSignalGuard&) = delete;

    void restore();
    static bool stopRequested();

private:
    using Handler = void (*)(int);
    Handler m_previousInterrupt = nullptr;
    Handler m_previousTerminate = nullptr;
    bool m_installed = false;
};

}  // namespace ota::backend
