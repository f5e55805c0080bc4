#pragma once

#include <memory>
#include <utility>

namespace ota::backend
{

// The event loop may run a handler after the object that started its operation is gone: a
// cancelled accept or wait still completes (with operation_aborted), and a wake-up posted by the
// hash worker runs whenever the loop gets to it. Such handlers are wrapped with guard(): they
// hold only a weak reference to their owner's token and do nothing once the owner has died.
//
// The owner dies on the loop thread or after the loop has stopped (the simulator destroys its
// devices only once the loop thread has been joined), so a handler never races the destruction.
class CSimLifetime
{
public:
    CSimLifetime() = default;
    CSimLifetime(const CSimLifetime&) = delete;
    CSimLifetime& operator=(const CSimLifetime&) = delete;

    template <typename Callback>
    auto guard(Callback callback) const
    {
        return [alive = std::weak_ptr<const char>(m_token),
                callback = std::move(callback)](auto&&... arguments) mutable
        {
            if (!alive.expired())
            {
                callback(std::forward<decltype(arguments)>(arguments)...);
            }
        };
    }

private:
    std::shared_ptr<const char> m_token = std::make_shared<const char>('\0');
};

}  // namespace ota::backend
