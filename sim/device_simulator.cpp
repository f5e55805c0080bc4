#include "sim/device_simulator.h"

#include "sim/sim_device.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace ota::backend
{

struct CDeviceSimulator::S_Impl
{
    explicit S_Impl(S_SimOptions simOptions) : options(simOptions), log(simOptions.logLevel) {}

    // Runs the function on the loop thread and waits for it; directly when the loop is not
    // running (before start or after stop) or when already on the loop thread.
    template <typename Function>
    auto onLoop(Function&& function) const -> decltype(function())
    {
        if (!running || std::this_thread::get_id() == loopThread.get_id())
        {
            return function();
        }
        std::packaged_task<decltype(function())()> task(std::forward<Function>(function));
        auto result = task.get_future();
        boost::asio::post(*io, [&task] { task(); });
        return result.get();
    }

    CSimDevice* find(const std::string& nodeId) const
    {
        const auto found = index.find(nodeId);
        return found == index.end() ? nullptr : found->second;
    }

    const S_SimOptions options;
    CSimLog log;
    mutable std::mutex lifecycleMutex;  // start and stop
    std::unique_ptr<boost::asio::io_context> io;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> workGuard;
    std::unique_ptr<CSimHashWorker> hasher;  // after io: its thread posts to io
    std::vector<std::unique_ptr<CSimDevice>> devices;
    std::map<std::string, CSimDevice*> index;
    std::thread loopThread;
    bool running = false;
};

CDeviceSimulator::CDeviceSimulator(S_SimOptions options) : m_impl(std::make_unique<S_Impl>(options)) {}

CDeviceSimulator::~CDeviceSimulator()
{
    stop();
    m_impl->index.clear();
    m_impl->devices.clear();
}

bool CDeviceSimulator::start(std::vector<S_SimDeviceSpec> devices, std::string& error)
{
    error.clear();
    std::lock_guard lock(m_impl->lifecycleMutex);
    if (m_impl->running)
    {
        error = "Device simulator is already running";
        return false;
    }
    if (devices.empty())
    {
        error = "No device to simulate";
        return false;
    }
    std::set<std::string> ids;
    std::set<std::pair<std::string, std::uint16_t>> endpoints;
    for (const S_SimDeviceSpec& spec : devices)
    {
        if (!validateSimDeviceSpec(spec, error))
        {
            return false;
        }
        if (!ids.insert(spec.nodeId).second)
        {
            error = "Duplicate simulated device id: " + spec.nodeId;
            return false;
        }
        if (spec.port != 0 && !endpoints.insert({spec.address, spec.port}).second)
        {
            error = "Duplicate simulated device endpoint: " + spec.address + ":" + std::to_string(spec.port);
            return false;
        }
    }
    m_impl->index.clear();
    m_impl->devices.clear();
    m_impl->hasher.reset();
    m_impl->io = std::make_unique<boost::asio::io_context>(1);
    m_impl->hasher = std::make_unique<CSimHashWorker>(*m_impl->io, m_impl->options.hashOnLoopWhenAlone);
    for (S_SimDeviceSpec& spec : devices)
    {
        auto device =
            std::make_unique<CSimDevice>(*m_impl->io, *m_impl->hasher, std::move(spec), m_impl->log);
        if (!device->listen(error))
        {
            device.reset();  // every socket and timer goes before its io_context
            m_impl->index.clear();
            m_impl->devices.clear();
            m_impl->hasher.reset();
            m_impl->io.reset();
            return false;
        }
        m_impl->index[device->nodeId()] = device.get();
        m_impl->devices.push_back(std::move(device));
    }
    for (const auto& device : m_impl->devices)
    {
        device->startAccepting();
    }
    m_impl->workGuard =
        std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
            m_impl->io->get_executor());
    m_impl->loopThread = std::thread(
        [impl = m_impl.get()]
        {
            for (;;)
            {
                try
                {
                    impl->io->run();
                    return;
                }
                catch (const std::exception& exception)
                {
                    // A handler must never take the whole site down; report and keep serving.
                    impl->log.error("simulator",
                                    std::string("event loop handler failed: ") + exception.what());
                }
            }
        });
    m_impl->running = true;
    return true;
}

void CDeviceSimulator::stop()
{
    std::lock_guard lock(m_impl->lifecycleMutex);
    if (!m_impl->running)
    {
        return;
    }
    boost::asio::post(*m_impl->io,
                      [impl = m_impl.get()]
                      {
                          for (const auto& device : impl->devices)
                          {
                              device->shutdown();
                          }
                      });
    m_impl->workGuard.reset();
    m_impl->loopThread.join();
    // Its wake-ups would find no loop to run them; queued chunks are of no use any more.
    m_impl->hasher->stop();
    m_impl->running = false;
}

bool CDeviceSimulator::isRunning() const
{
    std::lock_guard lock(m_impl->lifecycleMutex);
    return m_impl->running;
}

bool CDeviceSimulator::addFault(const std::string& nodeId, const S_SimFault& fault, std::string& error)
{
    error.clear();
    if (!validateSimFault(fault, error))
    {
        return false;
    }
    std::lock_guard lock(m_impl->lifecycleMutex);
    CSimDevice* device = m_impl->find(nodeId);
    if (device == nullptr)
    {
        error = "Unknown simulated device: " + nodeId;
        return false;
    }
    m_impl->onLoop([device, &fault] { device->addFault(fault); });
    return true;
}

bool CDeviceSimulator::clearFaults(const std::string& nodeId, std::string& error)
{
    error.clear();
    std::lock_guard lock(m_impl->lifecycleMutex);
    CSimDevice* device = m_impl->find(nodeId);
    if (device == nullptr)
    {
        error = "Unknown simulated device: " + nodeId;
        return false;
    }
    m_impl->onLoop([device] { device->clearFaults(); });
    return true;
}

bool CDeviceSimulator::snapshot(const std::string& nodeId, S_SimDeviceSnapshot& result,
                                std::string& error) const
{
    error.clear();
    std::lock_guard lock(m_impl->lifecycleMutex);
    CSimDevice* device = m_impl->find(nodeId);
    if (device == nullptr)
    {
        error = "Unknown simulated device: " + nodeId;
        return false;
    }
    result = m_impl->onLoop([device] { return device->snapshot(); });
    return true;
}

std::vector<S_SimDeviceSnapshot> CDeviceSimulator::snapshots() const
{
    std::lock_guard lock(m_impl->lifecycleMutex);
    return m_impl->onLoop(
        [impl = m_impl.get()]
        {
            std::vector<S_SimDeviceSnapshot> result;
            result.reserve(impl->devices.size());
            for (const auto& device : impl->devices)
            {
                result.push_back(device->snapshot());
            }
            return result;
        });
}

std::uint16_t CDeviceSimulator::boundPort(const std::string& nodeId) const
{
    S_SimDeviceSnapshot result;
    std::string error;
    return snapshot(nodeId, result, error) ? result.port : 0;
}

std::vector<std::string> CDeviceSimulator::summaryLines(bool perDevice) const
{
    std::vector<std::string> lines;
    S_SimDeviceCounters totals;
    const std::vector<S_SimDeviceSnapshot> all = snapshots();
    for (const S_SimDeviceSnapshot& device : all)
    {
        totals.add(device.counters);
        if (perDevice &&
            (device.counters.connectionsAccepted != 0 || device.counters.totalFaultsFired() != 0))
        {
            lines.push_back("[SUMMARY] " + device.nodeId + " " + formatDeviceCounters(device.counters));
        }
    }
    lines.push_back("[SUMMARY] total devices=" + std::to_string(all.size()) + " " +
                    formatDeviceCounters(totals));
    return lines;
}

}  // namespace ota::backend
