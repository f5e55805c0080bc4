#pragma once

#include "accounts/password_hashing.h"
#include "common/acting_user.h"
#include "history/sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

struct S_AccountRecord
{
    std::string name;
    E_Role role = E_Role::VIEWER;
    bool enabled = true;
    std::int64_t createdAt = 0;  // Unix ms
    std::uint64_t stamp = 0;     // rises on every change of this account (password, role, disable)
};

struct S_ApiTokenRecord
{
    std::string label;
    std::string user;
    std::int64_t createdAt = 0;  // Unix ms
};

struct S_VerifiedToken
{
    S_AccountRecord account;
    std::string label;
};

// The named operators of the site and their API tokens, in tables of the history database file.
// Passwords and tokens are kept only as Argon2id hashes. Every change is one transaction that
// also raises the revision, so a service polling revision() sees changes made by the users
// commands of another process.
//
// Threads: every member may be called from any thread. One mutex serialises the use of the
// connection; the slow Argon2id work (hashing a new secret, verifying one) runs outside it, so a
// login being checked never holds up a revision poll or another login.
class CAccountStore
{
public:
    // The accounts tables of the history database at path. create=false (the service): a database
    // without them reads as no accounts and nothing is created; create=true (the users commands).
    // cost: the Argon2id cost of new hashes (tests choose the cheapest).
    static std::unique_ptr<CAccountStore> open(const std::filesystem::path& database, bool create,
                                               std::string& error,
                                               const S_PasswordHashCost& cost = defaultPasswordHashCost());
    ~CAccountStore();
    CAccountStore(const CAccountStore&) = delete;
    CAccountStore& operator=(const CAccountStore&) = delete;

    bool addUser(std::string_view name, E_Role role, std::string_view password, std::string& error);
    bool setPassword(std::string_view name, std::string_view password, std::string& error);
    bool setRole(std::string_view name, E_Role role, std::string& error);
    bool disable(std::string_view name, std::string& error);
    // By name.
    std::vector<S_AccountRecord> list(std::string& error) const;
    std::optional<S_AccountRecord> find(std::string_view name) const;  // enabled or not

    // A new API token for the account, returned once; only its hash is kept.
    std::optional<std::string> issueToken(std::string_view name, std::string_view label, std::string& error);
    bool revokeToken(std::string_view label, std::string& error);
    // By label.
    std::vector<S_ApiTokenRecord> tokens(std::string& error) const;

    // Slow: one Argon2id verification, also for an unknown or disabled name, so the time taken
    // does not tell which names exist. nullopt when the name is unknown, the account disabled or
    // the password wrong.
    std::optional<S_AccountRecord> verifyPassword(std::string_view name, std::string_view password) const;
    // nullopt unless the text is a live token of an enabled account. A text that is not shaped like
    // one of this store's tokens, or names no stored token, is refused without hashing anything.
    std::optional<S_VerifiedToken> verifyToken(std::string_view token) const;

    // Rises with every change of accounts or tokens made by any process on this database (0 when
    // no tables); one indexed read, cheap enough to poll every second. A failed read answers the
    // last value read.
    std::uint64_t revision() const;

private:
    struct S_StoredAccount
    {
        S_AccountRecord record;
        std::string passwordHash;
    };

    explicit CAccountStore(const S_PasswordHashCost& cost);

    bool tablesReadyLocked(std::string& error) const;
    bool writableLocked(std::string& error) const;
    // False only when the read fails; found is empty when no account has the name.
    bool findLocked(std::string_view name, std::optional<S_StoredAccount>& found, std::string& error) const;
    // The same, failing with "No account named <name>" when there is none.
    bool existingLocked(std::string_view name, std::optional<S_StoredAccount>& found,
                        std::string& error) const;
    bool raiseRevisionLocked(std::uint64_t& revision, std::string& error);
    // sql: ?1 the stamp, ?2 the name, ?3 the value (when there is one); exactly one row must change.
    bool runUpdateLocked(const char* sql, std::uint64_t stamp, std::string_view name,
                         std::optional<std::string_view> value, std::string& error);
    // Changes one stored account unless unchanged says it already is as asked (then nothing
    // changes: no revision, no stamp, its sessions keep going).
    bool changeAccount(std::string_view name, const std::function<bool(const S_AccountRecord&)>& unchanged,
                       const char* sql, std::optional<std::string_view> value, std::string& error);
    // Spends the time of one verification on a hash that matches nothing.
    void verifyDecoy(std::string_view secret) const;

    const S_PasswordHashCost m_cost;

    mutable std::mutex m_mutex;
    // Guarded by m_mutex.
    mutable CSqliteConnection m_connection;
    mutable bool m_tablesReady = false;
    mutable std::uint64_t m_lastRevision = 0;

    mutable std::once_flag m_decoyOnce;
    mutable std::string m_decoyHash;  // written once under m_decoyOnce
};

// 1..32 of ASCII letters, digits, "_", "-", ".".
bool isValidAccountName(std::string_view name);
// Why addUser would refuse the name ("token" is taken by the site's token file); empty when it
// would not.
std::string accountNameProblem(std::string_view name);

}  // namespace ota::backend
