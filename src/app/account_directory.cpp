#include "app/account_directory.h"

namespace ota::backend
{

std::optional<S_ActingUser> CAccountDirectory::verifyPassword(std::string_view name,
                                                              std::string_view password)
{
    const std::optional<S_AccountRecord> account = m_store->verifyPassword(name, password);
    if (!account)
    {
        return std::nullopt;
    }
    return S_ActingUser{account->name, account->role, "password"};
}

std::optional<S_ActingUser> CAccountDirectory::verifyToken(std::string_view token)
{
    const std::optional<S_VerifiedToken> verified = m_store->verifyToken(token);
    if (!verified)
    {
        return std::nullopt;
    }
    return S_ActingUser{verified->account.name, verified->account.role, "api-token:" + verified->label};
}

std::optional<std::pair<E_Role, std::uint64_t>> CAccountDirectory::accountState(std::string_view name)
{
    const std::optional<S_AccountRecord> account = m_store->find(name);
    if (!account || !account->enabled)
    {
        return std::nullopt;
    }
    return std::make_pair(account->role, account->stamp);
}

CAccountRevisionWatch::CAccountRevisionWatch(std::shared_ptr<CAccountStore> store,
                                             std::function<void()> changed,
                                             std::chrono::milliseconds interval)
    : m_store(std::move(store)), m_changed(std::move(changed)), m_interval(interval)
{
    m_thread = std::thread([this] { run(); });
}

CAccountRevisionWatch::~CAccountRevisionWatch()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CAccountRevisionWatch::run()
{
    std::uint64_t seen = m_store->revision();
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, m_interval, [this] { return m_stopping; }))
    {
        lock.unlock();
        const std::uint64_t now = m_store->revision();
        if (now != seen)
        {
            seen = now;
            m_changed();
        }
        lock.lock();
    }
}

}  // namespace ota::backend
