#include "accounts/account_store.h"

#include "accounts/api_token_format.h"
#include "common/clock.h"
#include "history/sqlite_transaction.h"

#include <sqlite3.h>

// The changes of accounts and tokens: each one transaction that also raises the revision. The
// slow hash of a new secret is made before the transaction, so the database's write lock is never
// held for it; what was checked before the hash is checked again inside the transaction.

namespace ota::backend
{

namespace
{

constexpr std::size_t kMaxLabelLength = 64;

constexpr const char* kInsertAccountSql =
    "INSERT INTO accounts(name, role, password_hash, enabled, created_at, stamp) "
    "VALUES(?1, ?2, ?3, 1, ?4, ?5);";
// ?1 the new stamp, ?2 the name, ?3 the new value where there is one.
constexpr const char* kSetPasswordSql = "UPDATE accounts SET stamp=?1, password_hash=?3 WHERE name=?2;";
constexpr const char* kSetRoleSql = "UPDATE accounts SET stamp=?1, role=?3 WHERE name=?2;";
constexpr const char* kDisableSql = "UPDATE accounts SET stamp=?1, enabled=0 WHERE name=?2;";
constexpr const char* kRaiseRevisionSql =
    "UPDATE accounts_revision SET value=value+1 WHERE id=1 RETURNING value;";
constexpr const char* kLabelTakenSql = "SELECT 1 FROM api_tokens WHERE label=?1;";
constexpr const char* kInsertTokenSql =
    "INSERT INTO api_tokens(id, label, user, token_hash, created_at) VALUES(?1, ?2, ?3, ?4, ?5);";
constexpr const char* kDeleteTokenSql = "DELETE FROM api_tokens WHERE label=?1;";

bool isValidLabel(std::string_view label)
{
    if (label.empty() || label.size() > kMaxLabelLength)
    {
        return false;
    }
    for (const char c : label)
    {
        if (c < 0x20 || c > 0x7e)
        {
            return false;
        }
    }
    return true;
}

bool stepDone(CSqliteConnection& connection, CSqliteCachedStatement& statement, std::string_view context,
              std::string& error)
{
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(context, connection.handle(), resultCode);
        return false;
    }
    return true;
}

}  // namespace

bool CAccountStore::raiseRevisionLocked(std::uint64_t& revision, std::string& error)
{
    CSqliteCachedStatement statement = m_connection.statement(kRaiseRevisionSql, error);
    if (!statement)
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot store accounts", m_connection.handle(),
                              resultCode == SQLITE_DONE ? SQLITE_CORRUPT : resultCode);
        return false;
    }
    revision = static_cast<std::uint64_t>(statement->columnInt64(0));
    // Run to the end so the statement's write is complete before the next one.
    return stepDone(m_connection, statement, "Cannot store accounts", error);
}

bool CAccountStore::runUpdateLocked(const char* sql, std::uint64_t stamp, std::string_view name,
                                    std::optional<std::string_view> value, std::string& error)
{
    CSqliteCachedStatement statement = m_connection.statement(sql, error);
    if (!statement || !statement->bindInt64(1, static_cast<std::int64_t>(stamp), error) ||
        !statement->bindText(2, name, error) || (value && !statement->bindText(3, *value, error)) ||
        !stepDone(m_connection, statement, "Cannot store accounts", error))
    {
        return false;
    }
    if (m_connection.changes() != 1)
    {
        error = "The account " + std::string(name) + " was not changed";
        return false;
    }
    return true;
}

bool CAccountStore::addUser(std::string_view name, E_Role role, std::string_view password, std::string& error)
{
    error = accountNameProblem(name);
    if (error.empty())
    {
        error = passwordProblem(password);
    }
    if (!error.empty())
    {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!writableLocked(error))
        {
            return false;
        }
        // Refused before the slow hash when the name is taken; asked again in the transaction.
        std::optional<S_StoredAccount> existing;
        if (!findLocked(name, existing, error))
        {
            return false;
        }
        if (existing)
        {
            error = "An account named " + existing->record.name + " exists";
            return false;
        }
    }
    const std::optional<std::string> hash = hashSecret(password, m_cost);
    if (!hash)
    {
        error = "Cannot hash the password (out of memory?)";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    std::optional<S_StoredAccount> existing;
    if (!findLocked(name, existing, error))
    {
        return false;
    }
    if (existing)
    {
        error = "An account named " + existing->record.name + " exists";
        return false;
    }
    std::uint64_t revision = 0;
    if (!raiseRevisionLocked(revision, error))
    {
        return false;
    }
    CSqliteCachedStatement insert = m_connection.statement(kInsertAccountSql, error);
    if (!insert || !insert->bindText(1, name, error) || !insert->bindText(2, roleName(role), error) ||
        !insert->bindText(3, *hash, error) || !insert->bindInt64(4, currentUnixMs(), error) ||
        !insert->bindInt64(5, static_cast<std::int64_t>(revision), error) ||
        !stepDone(m_connection, insert, "Cannot store accounts", error))
    {
        return false;
    }
    insert = CSqliteCachedStatement();
    return transaction.commit(error);
}

bool CAccountStore::setPassword(std::string_view name, std::string_view password, std::string& error)
{
    error = passwordProblem(password);
    if (!error.empty())
    {
        return false;
    }
    std::string storedName;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!writableLocked(error))
        {
            return false;
        }
        std::optional<S_StoredAccount> existing;
        if (!existingLocked(name, existing, error))
        {
            return false;
        }
        storedName = existing->record.name;
    }
    const std::optional<std::string> hash = hashSecret(password, m_cost);
    if (!hash)
    {
        error = "Cannot hash the password (out of memory?)";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CSqliteTransaction transaction(m_connection);
    std::uint64_t revision = 0;
    return transaction.begin(error) && raiseRevisionLocked(revision, error) &&
           runUpdateLocked(kSetPasswordSql, revision, storedName, *hash, error) && transaction.commit(error);
}

bool CAccountStore::changeAccount(std::string_view name,
                                  const std::function<bool(const S_AccountRecord&)>& unchanged,
                                  const char* sql, std::optional<std::string_view> value, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!writableLocked(error))
    {
        return false;
    }
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    std::optional<S_StoredAccount> existing;
    if (!existingLocked(name, existing, error))
    {
        return false;
    }
    if (unchanged(existing->record))
    {
        return true;
    }
    std::uint64_t revision = 0;
    return raiseRevisionLocked(revision, error) &&
           runUpdateLocked(sql, revision, existing->record.name, value, error) && transaction.commit(error);
}

bool CAccountStore::setRole(std::string_view name, E_Role role, std::string& error)
{
    return changeAccount(
        name, [role](const S_AccountRecord& account) { return account.role == role; }, kSetRoleSql,
        roleName(role), error);
}

bool CAccountStore::disable(std::string_view name, std::string& error)
{
    return changeAccount(
        name, [](const S_AccountRecord& account) { return !account.enabled; }, kDisableSql, std::nullopt,
        error);
}

std::optional<std::string> CAccountStore::issueToken(std::string_view name, std::string_view label,
                                                     std::string& error)
{
    error.clear();
    if (!isValidLabel(label))
    {
        error = "An API token label has 1 to 64 printable ASCII characters";
        return std::nullopt;
    }
    auto checkAccount = [&]() -> std::optional<std::string>
    {
        std::optional<S_StoredAccount> existing;
        if (!existingLocked(name, existing, error))
        {
            return std::nullopt;
        }
        if (!existing->record.enabled)
        {
            error = "The account " + existing->record.name + " is disabled";
            return std::nullopt;
        }
        return existing->record.name;
    };
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!writableLocked(error) || !checkAccount())
        {
            return std::nullopt;
        }
    }
    const std::optional<S_ApiTokenParts> token = makeApiToken();
    const std::optional<std::string> hash = token ? hashSecret(token->text, m_cost) : std::nullopt;
    if (!hash)
    {
        error = "Cannot make an API token (no random bytes or out of memory)";
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return std::nullopt;
    }
    const std::optional<std::string> user = checkAccount();
    if (!user)
    {
        return std::nullopt;
    }
    CSqliteCachedStatement taken = m_connection.statement(kLabelTakenSql, error);
    if (!taken || !taken->bindText(1, label, error))
    {
        return std::nullopt;
    }
    const int takenCode = taken->step();
    if (takenCode == SQLITE_ROW)
    {
        error = "An API token labelled " + std::string(label) + " exists";
        return std::nullopt;
    }
    if (takenCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read API tokens", m_connection.handle(), takenCode);
        return std::nullopt;
    }
    taken = CSqliteCachedStatement();
    std::uint64_t revision = 0;
    if (!raiseRevisionLocked(revision, error))
    {
        return std::nullopt;
    }
    CSqliteCachedStatement insert = m_connection.statement(kInsertTokenSql, error);
    if (!insert || !insert->bindText(1, token->id, error) || !insert->bindText(2, label, error) ||
        !insert->bindText(3, *user, error) || !insert->bindText(4, *hash, error) ||
        !insert->bindInt64(5, currentUnixMs(), error) ||
        !stepDone(m_connection, insert, "Cannot store API tokens", error))
    {
        return std::nullopt;
    }
    insert = CSqliteCachedStatement();
    if (!transaction.commit(error))
    {
        return std::nullopt;
    }
    return token->text;
}

bool CAccountStore::revokeToken(std::string_view label, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!writableLocked(error))
    {
        return false;
    }
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    CSqliteCachedStatement remove = m_connection.statement(kDeleteTokenSql, error);
    if (!remove || !remove->bindText(1, label, error) ||
        !stepDone(m_connection, remove, "Cannot store API tokens", error))
    {
        return false;
    }
    remove = CSqliteCachedStatement();
    if (m_connection.changes() == 0)
    {
        error = "No API token labelled " + std::string(label);
        return false;
    }
    std::uint64_t revision = 0;
    return raiseRevisionLocked(revision, error) && transaction.commit(error);
}

}  // namespace ota::backend
