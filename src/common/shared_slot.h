#pragma once

#include <memory>
#include <mutex>

namespace ota::backend
{

// A shared pointer that one thread replaces while others take copies of it, each copy keeping the
// object alive for as long as its holder needs it.
//
// Not std::atomic<std::shared_ptr>: libstdc++ 12 releases that type's internal lock with relaxed
// order at the end of a load, so the load's read of the pointer is not ordered before the next
// store's write of it (a data race in the library's own code, which ThreadSanitizer reports). A
// mutex held for the copy alone costs about as much when uncontended. The mutex is a leaf; the
// replaced object is released after it, so no destructor runs under it.
template <typename T>
class CSharedSlot
{
public:
    std::shared_ptr<T> load() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }

    void store(std::shared_ptr<T> value)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_value.swap(value);
        }
        // `value` now holds the replaced object and releases it here.
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<T> m_value;
};

}  // namespace ota::backend
