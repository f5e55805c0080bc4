#include "sim/sim_outbox.h"

#include <algorithm>

namespace ota::backend
{
namespace
{

// Requests keep coming while answers are held back: the backlog is bounded.
constexpr std::size_t MAX_OUTBOX_ENTRIES = 200000;

}  // namespace

CSimOutbox::CSimOutbox(boost::asio::io_context& io, std::uint32_t replyLatencyMs, Writer writer,
                       std::function<void()> onOverflow)
    : m_replyLatencyMs(replyLatencyMs),
      m_writer(std::move(writer)),
      m_onOverflow(std::move(onOverflow)),
      m_timer(io)
{
}

void CSimOutbox::send(std::vector<std::uint8_t> bytes, std::uint8_t messageType, std::uint32_t extraDelayMs)
{
    S_Entry entry;
    entry.bytes = std::move(bytes);
    entry.messageType = messageType;
    enqueue(std::move(entry), extraDelayMs);
}

void CSimOutbox::runAfterQueued(std::function<void()> action)
{
    S_Entry entry;
    entry.action = std::move(action);
    enqueue(std::move(entry), 0);
}

void CSimOutbox::enqueue(S_Entry entry, std::uint32_t extraDelayMs)
{
    const auto now = std::chrono::steady_clock::now();
    entry.due = now + std::chrono::milliseconds(m_replyLatencyMs + extraDelayMs);
    if (m_entries.empty() && entry.due <= now)
    {
        deliver(entry);  // the fast path of stop-and-wait traffic: no timer round trip
        return;
    }
    // The device answers in order: nothing overtakes an answer that is still delayed.
    if (!m_entries.empty())
    {
        entry.due = std::max(entry.due, m_entries.back().due);
    }
    if (m_entries.size() >= MAX_OUTBOX_ENTRIES)
    {
        m_onOverflow();
        if (!entry.action)
        {
            return;
        }
        entry.bytes.clear();
    }
    m_entries.push_back(std::move(entry));
    if (!m_timer.armed())
    {
        armTimer();
    }
}

void CSimOutbox::armTimer()
{
    m_timer.armAt(m_entries.front().due, [this] { flush(); });
}

void CSimOutbox::flush()
{
    while (!m_entries.empty() && m_entries.front().due <= std::chrono::steady_clock::now())
    {
        S_Entry entry = std::move(m_entries.front());
        m_entries.pop_front();
        deliver(entry);  // an action may drop bytes of later entries, or clear the outbox
    }
    if (!m_entries.empty() && !m_timer.armed())
    {
        armTimer();
    }
}

void CSimOutbox::deliver(S_Entry& entry)
{
    if (!entry.bytes.empty())
    {
        m_writer(std::move(entry.bytes), entry.messageType);
    }
    if (entry.action)
    {
        entry.action();
    }
}

void CSimOutbox::dropBytes()
{
    std::erase_if(m_entries, [](const S_Entry& entry) { return !entry.action; });
    for (S_Entry& entry : m_entries)
    {
        entry.bytes.clear();
    }
}

void CSimOutbox::clear()
{
    m_entries.clear();
    m_timer.cancel();
}

}  // namespace ota::backend
