#include "api/streamed_body.h"

#include <algorithm>

namespace ota::backend
{

CStreamedBody::CStreamedBody(std::size_t maxQueuedPieces, std::function<void()> resume)
    : m_maxQueued(std::max<std::size_t>(maxQueuedPieces, 1)), m_resume(std::move(resume))
{
}

bool CStreamedBody::supply(std::vector<std::uint8_t> piece)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_abandoned)
        {
            return false;
        }
        if (!piece.empty())
        {
            m_pieces.push_back(std::move(piece));
        }
        m_supplierWaiting = m_pieces.size() >= m_maxQueued;
        if (m_supplierWaiting)
        {
            m_ready.notify_all();
            return false;
        }
    }
    m_ready.notify_all();
    return true;
}

void CStreamedBody::end()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
    }
    m_ready.notify_all();
}

void CStreamedBody::fail(E_StreamedBodyFault fault)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || m_fault != E_StreamedBodyFault::NONE)
        {
            return;
        }
        m_fault = fault;
    }
    m_ready.notify_all();
}

std::vector<std::uint8_t> CStreamedBody::spare()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spare.empty())
    {
        return {};
    }
    std::vector<std::uint8_t> piece = std::move(m_spare.back());
    m_spare.pop_back();
    return piece;
}

std::ptrdiff_t CStreamedBody::next(const std::uint8_t*& data)
{
    data = nullptr;
    bool resume = false;
    std::size_t count = 0;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_reading.empty())
        {
            // Kept at its size: filling it again needs no clearing.
            m_spare.push_back(std::move(m_reading));
            m_reading = {};
        }
        // A failure counts even with pieces queued: the body will never be whole.
        m_ready.wait(lock,
                     [this] { return !m_pieces.empty() || m_ended || m_fault != E_StreamedBodyFault::NONE; });
        if (m_fault != E_StreamedBodyFault::NONE)
        {
            return -1;
        }
        if (m_pieces.empty())
        {
            return 0;
        }
        m_reading = std::move(m_pieces.front());
        m_pieces.pop_front();
        data = m_reading.data();
        count = m_reading.size();
        if (m_supplierWaiting && m_pieces.size() < m_maxQueued)
        {
            m_supplierWaiting = false;
            resume = true;
        }
    }
    if (resume && m_resume)
    {
        m_resume();
    }
    return static_cast<std::ptrdiff_t>(count);
}

void CStreamedBody::abandon()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_abandoned = true;
    m_pieces.clear();
    m_spare.clear();
    m_reading = {};
}

bool CStreamedBody::isComplete() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended && m_pieces.empty() && m_fault == E_StreamedBodyFault::NONE;
}

bool CStreamedBody::isAbandoned() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_abandoned;
}

E_StreamedBodyFault CStreamedBody::fault() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fault;
}

}  // namespace ota::backend
