#pragma once

#include "accounts/account_store.h"
#include "api/account_verifier.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace ota::backend
{

// The site's named accounts as the API's access control asks for them: the account store of the
// history database behind the verifier interface.
class CAccountDirectory final : public IAccountVerifier
{
public:
    explicit CAccountDirectory(std::shared_ptr<CAccountStore> store) : m_store(std::move(store)) {}

    std::optional<S_ActingUser> verifyPassword(std::string_view name, std::string_view password) override;
    std::optional<S_ActingUser> verifyToken(std::string_view token) override;
    std::optional<std::pair<E_Role, std::uint64_t>> accountState(std::string_view name) override;

    const std::shared_ptr<CAccountStore>& store() const { return m_store; }

private:
    const std::shared_ptr<CAccountStore> m_store;
};

// Watches the accounts' revision: the users commands change accounts from another process, so
// the service polls the store's revision (one indexed read) and tells changed() when it rose. The
// watch owns its thread; changed() runs on it.
class CAccountRevisionWatch
{
public:
    CAccountRevisionWatch(std::shared_ptr<CAccountStore> store, std::function<void()> changed,
                          std::chrono::milliseconds interval = std::chrono::seconds(1));
    ~CAccountRevisionWatch();
    CAccountRevisionWatch(const CAccountRevisionWatch&) = delete;
    CAccountRevisionWatch& operator=(const CAccountRevisionWatch&) = delete;

private:
    void run();

    const std::shared_ptr<CAccountStore> m_store;
    const std::function<void()> m_changed;
    const std::chrono::milliseconds m_interval;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace ota::backend
