#include "firmware/firmware_file_read.h"
#include "firmware/firmware_trust.h"
#include "upgrade/upgrade_execution_impl.h"

// The task runner: the firmware check at the task's start, the worker pool and the task's end.
// Locks: taskMutex briefly for the task header, each device's session lock for its record; the
// scheduler's own lock while a worker claims. None is held across a file read or a thread join.

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

// copy, when there is one, receives the bytes as they are read for the digest.
bool checkFirmwareFile(const S_FirmwareFileInfo& file, const CFirmwareTrust* trust,
                       IFirmwareStagingCopy* copy, std::string& error)
{
    const std::string shown = file.filePath.string();
    FirmwareBlockSink sink;
    if (copy != nullptr)
    {
        sink = [copy](const std::uint8_t* data, std::size_t size) { copy->append(data, size); };
    }
    const S_FirmwareFileRead read = readFirmwareFile(file.filePath, file.fileSize, trust, sink);
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

bool CUpgradeExecutionService::S_Impl::prepareTaskFirmware(S_TaskRun& task, std::string& error)
{
    std::shared_ptr<IFirmwareStaging> staging;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        staging = firmwareStaging;
    }
    std::map<std::uint8_t, S_TaskFirmwareFile> prepared;
    for (const S_FirmwareFileInfo& file : task.snapshot->files)
    {
        // The copy is made by the same read that checks the file: what the workers send is
        // exactly what was checked, whatever happens to the file on its path afterwards.
        std::unique_ptr<IFirmwareStagingCopy> copy;
        std::string stagingError;
        if (staging)
        {
            copy = staging->beginCopy(file.fileName, file.sha256, stagingError);
        }
        if (!checkFirmwareFile(file, task.snapshot->firmwareTrust.get(), copy.get(), error))
        {
            return false;
        }
        std::filesystem::path chunkSource = file.filePath;
        if (staging)
        {
            std::optional<std::filesystem::path> staged;
            if (copy)
            {
                staged = copy->commit(file.sha256, stagingError);
            }
            if (!staged)
            {
                error = "固件文件暂存失败: " + file.filePath.string() + " (" + stagingError + ")";
                return false;
            }
            chunkSource = std::move(*staged);
        }
        S_TaskFirmwareFile entry;
        entry.fileNo = file.fileNo;
        entry.fileName = file.fileName;
        entry.fileSize = file.fileSize;
        entry.chunkSize = file.chunkSize;
        entry.chunkCount = file.totalChunks;
        entry.sha256 = file.sha256;
        entry.filePath = std::move(chunkSource);
        entry.shownPath = file.filePath;
        prepared.emplace(file.fileNo, std::move(entry));
    }
    // No worker runs yet: the map is the task thread's until the workers are started.
    task.firmware.swap(prepared);
    return true;
}

void CUpgradeExecutionService::S_Impl::runTask(TaskRunPointer run)
{
    S_TaskRun& task = *run;
    std::string preparationError;
    bool prepared = false;
    try
    {
        prepared = prepareTaskFirmware(task, preparationError);
    }
    catch (const std::exception& exception)
    {
        preparationError = std::string("固件文件读取不完整: ") + exception.what();
    }
    if (!prepared)
    {
        {
            std::lock_guard<std::mutex> lock(taskMutex);
            taskError = preparationError;
            publisher.taskChanged();
        }
        for (std::size_t i = 0; i < task.sessions.size(); ++i)
        {
            failDevice(task, i, preparationError, 0, "INTERNAL_ERROR");
        }
        finishTask(task);
        return;
    }

    const std::size_t deviceCount = task.sessions.size();
    const std::uint64_t workers = task.identity->workerCount;
    int failWorkerAt = -1;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        failWorkerAt = hooks.failWorkerCreationAt;
    }
    scheduler.reset(task.sessions, std::chrono::milliseconds(task.options.connectTimeoutMs));
    log(E_LogLevel::INFO, "启动多装置并发升级: devices=" + std::to_string(deviceCount) +
                              ", taskConcurrency=" + std::to_string(task.options.deviceConcurrency) +
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
            threads.emplace_back([this, &task, i] { runWorker(task, i); });
        }
        catch (const std::exception& exception)
        {
            {
                std::lock_guard<std::mutex> lock(taskMutex);
                abortRequested = true;
                taskError = std::string("创建升级工作线程失败: ") + exception.what();
                publisher.taskChanged();
            }
            wakeAll(&task);
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
        std::lock_guard<std::mutex> lock(taskMutex);
        remainingText = taskError.empty() ? std::string("升级执行服务提前停止") : taskError;
    }
    for (std::size_t i = 0; i < deviceCount; ++i)
    {
        failDevice(task, i, remainingText, 0, "INTERNAL_ERROR");
    }
    if (workerCreationFailed)
    {
        abortRequested = false;
    }
    finishTask(task);
}

void CUpgradeExecutionService::S_Impl::runWorker(S_TaskRun& task, std::size_t workerIndex)
{
    log(E_LogLevel::INFO, "升级工作线程启动，worker=" + std::to_string(workerIndex));
    CFirmwareStreamCache streams;
    while (const std::optional<std::size_t> claimed = scheduler.claim(stopping, abortRequested))
    {
        try
        {
            executeDevice(task, *claimed, streams);
        }
        catch (const std::exception& exception)
        {
            failDevice(task, *claimed, std::string("装置执行线程异常: ") + exception.what(), 0,
                       "INTERNAL_ERROR");
        }
        catch (...)
        {
            failDevice(task, *claimed, "装置执行线程发生未知异常", 0, "INTERNAL_ERROR");
        }
    }
    log(E_LogLevel::INFO, "升级工作线程结束，worker=" + std::to_string(workerIndex));
}

void CUpgradeExecutionService::S_Impl::finishTask(S_TaskRun& task)
{
    std::uint64_t success = 0;
    std::uint64_t failed = 0;
    std::uint64_t aborted = 0;
    task.firmware.clear();
    for (const std::unique_ptr<CDeviceSession>& session : task.sessions)
    {
        std::lock_guard<std::mutex> lock(session->mutex());
        switch (session->deviceLocked().shown.result)
        {
            case E_DeviceResult::SUCCESS:
                ++success;
                break;
            case E_DeviceResult::ABORTED:
                ++aborted;
                break;
            case E_DeviceResult::FAILED:
            case E_DeviceResult::PENDING:
                ++failed;
                break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        status = stopping      ? E_UpgradeTaskStatus::STOPPED
                 : failed > 0  ? E_UpgradeTaskStatus::FAILED
                 : aborted > 0 ? E_UpgradeTaskStatus::ABORTED
                               : E_UpgradeTaskStatus::SUCCESS;
        taskActive = false;
        task.active = false;
        finishedAt = currentUnixMs();
        finishedTasks[static_cast<std::size_t>(status)].fetch_add(1, std::memory_order_relaxed);
        publisher.taskChanged();
    }
    scheduler.wake();
    log(failed > 0 ? E_LogLevel::ERROR : E_LogLevel::INFO,
        "升级任务结束: upgradeNo=" + std::to_string(task.upgradeNo) + ", success=" + std::to_string(success) +
            ", failed=" + std::to_string(failed) + ", aborted=" + std::to_string(aborted));
}

}  // namespace ota::backend
