#include "firmware/firmware_file_read.h"
#include "firmware/firmware_trust.h"
#include "upgrade/upgrade_execution_impl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>

namespace ota::backend
{

namespace
{

// Condition waits are re-armed in slices of one day, so a far deadline never overflows a wait.
constexpr auto kMaxWaitSlice = std::chrono::milliseconds(86'400'000);

// Opens a firmware file for reading; O_NONBLOCK so that a path swapped for a FIFO cannot hang.
int openFirmwareFile(const std::filesystem::path& path)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
    {
        return -1;
    }
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

bool checkFirmwareFile(const S_FirmwareFileInfo& file, const CFirmwareTrust* trust, std::string& error)
{
    const std::string shown = file.filePath.string();
    const S_FirmwareFileRead read = readFirmwareFile(file.filePath, file.fileSize, trust);
    switch (read.fault)
    {
        case E_FirmwareReadFault::NONE:
            break;
        case E_FirmwareReadFault::CANNOT_OPEN:
            error = "无法打开固件文件: " + shown;
            return false;
        case E_FirmwareReadFault::SIZE_CHANGED:
            error = "固件文件大小已变化: " + shown;
            return false;
        case E_FirmwareReadFault::READ_FAILED:
        case E_FirmwareReadFault::LENGTH_MISMATCH:
            error = "固件文件读取不完整: " + shown;
            return false;
    }
    if (read.sha256 != file.sha256)
    {
        error = "固件SHA256与任务快照不一致: " + shown;
        return false;
    }
    if (trust != nullptr)
    {
        if (std::optional<std::string> refusal =
                firmwareSignatureRefusal(read.signature, trust->required(), shown))
        {
            error = std::move(*refusal);
            return false;
        }
    }
    return true;
}

}  // namespace

CFirmwareStreamCache::~CFirmwareStreamCache()
{
    for (const auto& [fileNo, descriptor] : m_descriptors)
    {
        ::close(descriptor);
    }
}

int CFirmwareStreamCache::descriptorFor(std::uint8_t fileNo, const std::filesystem::path& path)
{
    const auto found = m_descriptors.find(fileNo);
    if (found != m_descriptors.end())
    {
        return found->second;
    }
    const int descriptor = openFirmwareFile(path);
    if (descriptor >= 0)
    {
        m_descriptors.emplace(fileNo, descriptor);
    }
    return descriptor;
}

bool CUpgradeExecutionService::S_Impl::prepareTaskFirmware(std::string& error)
{
    UpgradeTaskSnapshotPtr task;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        task = snapshot;
    }
    std::map<std::uint8_t, S_TaskFirmwareFile> prepared;
    for (const S_FirmwareFileInfo& file : task->files)
    {
        if (!checkFirmwareFile(file, task->firmwareTrust.get(), error))
        {
            return false;
        }
        S_TaskFirmwareFile entry;
        entry.fileNo = file.fileNo;
        entry.fileName = file.fileName;
        entry.fileSize = file.fileSize;
        entry.chunkSize = file.chunkSize;
        entry.chunkCount = file.totalChunks;
        entry.sha256 = file.sha256;
        entry.filePath = file.filePath;
        prepared.emplace(file.fileNo, std::move(entry));
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    firmware.swap(prepared);
    return true;
}

void CUpgradeExecutionService::S_Impl::runTask()
{
    std::string preparationError;
    bool prepared = false;
    try
    {
        prepared = prepareTaskFirmware(preparationError);
    }
    catch (const std::exception& exception)
    {
        preparationError = std::string("固件文件读取不完整: ") + exception.what();
    }
    if (!prepared)
    {
        std::size_t deviceCount = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            taskError = preparationError;
            markStateChanged();
            deviceCount = devices.size();
        }
        notifyCondition.notify_all();
        for (std::size_t i = 0; i < deviceCount; ++i)
        {
            failDevice(i, preparationError, 0, "INTERNAL_ERROR");
        }
        finishTask();
        return;
    }

    std::size_t deviceCount = 0;
    std::size_t workers = 0;
    int failWorkerAt = -1;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        deviceCount = devices.size();
        workers = workerCount;
        failWorkerAt = hooks.failWorkerCreationAt;
        const TimePoint now = SteadyClock::now();
        for (S_DeviceRuntime& device : devices)
        {
            device.connectDeadline = now + std::chrono::milliseconds(options.connectTimeoutMs);
            device.ready = device.connectionState == E_DeviceConnectionState::CONNECTED;
            device.claimed = false;
        }
    }
    log(E_LogLevel::INFO, "启动多装置并发升级: devices=" + std::to_string(deviceCount) +
                              ", taskConcurrency=" + std::to_string(options.deviceConcurrency) +
                              ", workers=" + std::to_string(workers));

    std::vector<std::thread> threads;
    bool workerCreationFailed = false;
    for (std::size_t i = 0; i < workers; ++i)
    {
        try
        {
            if (static_cast<int>(i) == failWorkerAt)
            {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                        "injected thread creation failure");
            }
            threads.emplace_back([this, i] { runWorker(i); });
        }
        catch (const std::exception& exception)
        {
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                abortRequested = true;
                taskError = std::string("创建升级工作线程失败: ") + exception.what();
                markStateChanged();
                wakeAllLocked();
            }
            notifyCondition.notify_all();
            workerCreationFailed = true;
            break;
        }
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    std::string remainingText;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        remainingText = taskError.empty() ? std::string("升级执行服务提前停止") : taskError;
    }
    for (std::size_t i = 0; i < deviceCount; ++i)
    {
        failDevice(i, remainingText, 0, "INTERNAL_ERROR");
    }
    if (workerCreationFailed)
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        abortRequested = false;
    }
    finishTask();
}

void CUpgradeExecutionService::S_Impl::runWorker(std::size_t workerIndex)
{
    log(E_LogLevel::INFO, "升级工作线程启动，worker=" + std::to_string(workerIndex));
    CFirmwareStreamCache streams;
    while (true)
    {
        std::size_t claimedIndex = devices.size();
        {
            std::unique_lock<std::mutex> lock(stateMutex);
            while (true)
            {
                const TimePoint now = SteadyClock::now();
                bool anyPending = false;
                TimePoint earliestDeadline = TimePoint::max();
                std::size_t choice = devices.size();
                bool fresh = false;
                // Pass 1: connected devices first.
                for (std::size_t i = 0; i < devices.size(); ++i)
                {
                    S_DeviceRuntime& device = devices[i];
                    if (device.completed || device.claimed)
                    {
                        continue;
                    }
                    anyPending = true;
                    earliestDeadline = std::min(earliestDeadline, device.connectDeadline);
                    if (device.connectionState == E_DeviceConnectionState::CONNECTED)
                    {
                        choice = i;
                        fresh = true;
                        break;
                    }
                }
                if (!anyPending)
                {
                    break;
                }
                // Pass 2: devices that were connected at some time during the task.
                for (std::size_t i = 0; choice == devices.size() && i < devices.size(); ++i)
                {
                    const S_DeviceRuntime& device = devices[i];
                    if (!device.completed && !device.claimed && device.ready)
                    {
                        choice = i;
                        fresh = true;
                    }
                }
                // Pass 3: devices whose connection wait has run out (they fail at once). Once the
                // task is being aborted or stopped every device may be taken: it ends at once
                // without a frame, so nothing is gained by holding the task open until its deadline.
                const bool ending = stopping || abortRequested;
                for (std::size_t i = 0; choice == devices.size() && i < devices.size(); ++i)
                {
                    const S_DeviceRuntime& device = devices[i];
                    if (!device.completed && !device.claimed && !device.ready &&
                        (ending || device.connectDeadline <= now))
                    {
                        choice = i;
                    }
                }
                if (choice != devices.size())
                {
                    devices[choice].claimed = true;
                    if (fresh)
                    {
                        devices[choice].connectDeadline =
                            now + std::chrono::milliseconds(options.connectTimeoutMs);
                    }
                    claimedIndex = choice;
                    break;
                }
                const TimePoint wakeAt = std::min(earliestDeadline, now + kMaxWaitSlice);
                // Rounded up to whole milliseconds so the rescan never comes a moment too early.
                const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now);
                workerCondition.wait_for(lock, remaining);
            }
        }
        if (claimedIndex == devices.size())
        {
            break;
        }
        try
        {
            executeDevice(claimedIndex, streams);
        }
        catch (const std::exception& exception)
        {
            failDevice(claimedIndex, std::string("装置执行线程异常: ") + exception.what(), 0,
                       "INTERNAL_ERROR");
        }
        catch (...)
        {
            failDevice(claimedIndex, "装置执行线程发生未知异常", 0, "INTERNAL_ERROR");
        }
    }
    log(E_LogLevel::INFO, "升级工作线程结束，worker=" + std::to_string(workerIndex));
}

void CUpgradeExecutionService::S_Impl::finishTask()
{
    std::uint64_t success = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
    std::uint32_t number = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        firmware.clear();
        for (const S_DeviceRuntime& device : devices)
        {
            if (device.result == "SUCCESS")
            {
                ++success;
            }
            else if (device.result == "ABORTED")
            {
                ++aborted;
            }
            else
            {
                ++failed;
            }
        }
        status = stopping ? "STOPPED" : failed > 0 ? "FAILED" : aborted > 0 ? "ABORTED" : "SUCCESS";
        taskActive = false;
        finishedAt = currentUnixMs();
        number = upgradeNo;
        markStateChanged();
    }
    workerCondition.notify_all();
    notifyCondition.notify_all();
    log(failed > 0 ? E_LogLevel::ERROR : E_LogLevel::INFO,
        "升级任务结束: upgradeNo=" + std::to_string(number) + ", success=" + std::to_string(success) +
            ", failed=" + std::to_string(failed) + ", aborted=" + std::to_string(aborted));
}

}  // namespace ota::backend
