#include "accounts/account_store.h"

#include "accounts/account_schema.h"
#include "accounts/api_token_format.h"
#include "common/clock.h"
#include "history/sqlite_transaction.h"

#include <sqlite3.h>

#include <array>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kMaxAccountNameLength = 32;
constexpr std::size_t kMaxLabelLength = 64;
constexpr std::size_t kMaxSecretBytes = 1024;
// Whoever presents the site's token file acts as this user; no named account may take the name.
constexpr std::string_view kTokenFileUser = "token";

// An account or token change must survive a power loss once the command has said it is done.
constexpr const char* kPragmaScript = "PRAGMA synchronous=FULL;";
constexpr const char* kJournalScript = "PRAGMA journal_mode=WAL;";

constexpr const char* kSelectAccountSql =
    "SELECT name, role, enabled, created_at, stamp, password_hash FROM accounts WHERE name=?1;";
constexpr const char* kListAccountsSql =
    "SELECT name, role, enabled, created_at, stamp, password_hash FROM accounts ORDER BY name;";
constexpr const char* kInsertAccountSql =
    "INSERT INTO accounts(name, role, password_hash, enabled, created_at, stamp) VALUES(?1, ?2, ?3, 1, ?4, "
    "?5);";
// ?1 the new stamp, ?2 the name, ?3 the new value where there is one.
constexpr const char* kSetPasswordSql = "UPDATE accounts SET stamp=?1, password_hash=?3 WHERE name=?2;";
constexpr const char* kSetRoleSql = "UPDATE accounts SET stamp=?1, role=?3 WHERE name=?2;";
constexpr const char* kDisableSql = "UPDATE accounts SET stamp=?1, enabled=0 WHERE name=?2;";
constexpr const char* kRaiseRevisionSql =
    "UPDATE accounts_revision SET value=value+1 WHERE id=1 RETURNING value;";
constexpr const char* kSelectRevisionSql = "SELECT value FROM accounts_revision WHERE id=1;";
constexpr const char* kSelectTokenSql = "SELECT label, user, token_hash FROM api_tokens WHERE id=?1;";
constexpr const char* kLabelTakenSql = "SELECT 1 FROM api_tokens WHERE label=?1;";
constexpr const char* kInsertTokenSql =
    "INSERT INTO api_tokens(id, label, user, token_hash, created_at) VALUES(?1, ?2, ?3, ?4, ?5);";
constexpr const char* kDeleteTokenSql = "DELETE FROM api_tokens WHERE label=?1;";
constexpr const char* kListTokensSql = "SELECT label, user, created_at FROM api_tokens ORDER BY label;";

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

bool sameIgnoringAsciiCase(std::string_view left, std::string_view right)
{
    if (left.size() != right.size())
    {
        return false;
    }
    for (std::size_t index = 0; index < left.size(); ++index)
    {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(left[index]) != lower(right[index]))
        {
            return false;
        }
    }
    return true;
}

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

std::string noAccount(std::string_view name)
{
    return "No account named " + std::string(name);
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

struct CAccountStore::S_StoredAccount
{
    S_AccountRecord record;
    std::string passwordHash;
};

bool isValidAccountName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxAccountNameLength)
    {
        return false;
    }
    for (const char c : name)
    {
        if (!isNameCharacter(c))
        {
            return false;
        }
    }
    return true;
}

std::string accountNameProblem(std::string_view name)
{
    if (!isValidAccountName(name))
    {
        return "An account name has 1 to 32 letters, digits, '_', '-' or '.'";
    }
    if (sameIgnoringAsciiCase(name, kTokenFileUser))
    {
        return "The name token is kept for whoever presents the site's token file";
    }
    return {};
}

CAccountStore::CAccountStore(const S_PasswordHashCost& cost) : m_cost(cost) {}

CAccountStore::~CAccountStore()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

std::unique_ptr<CAccountStore> CAccountStore::open(const std::filesystem::path& database, bool create,
                                                   std::string& error, const S_PasswordHashCost& cost)
{
    error.clear();
    std::unique_ptr<CAccountStore> store(new CAccountStore(cost));
    std::lock_guard<std::mutex> lock(store->m_mutex);
    CSqliteConnection& connection = store->m_connection;
    if (!connection.open(database.string(), "Cannot open accounts", kBusyTimeoutMs, error) ||
        !connection.execute(kPragmaScript, error))
    {
        return nullptr;
    }
    if (create)
    {
        // The history database runs in WAL mode; a file the users commands make first must too,
        // so that the service's reads and these writes never wait for each other.
        if (!connection.execute(kJournalScript, error) || !createAccountTables(connection, error))
        {
            return nullptr;
        }
    }
    if (!store->tablesReadyLocked(error) && !error.empty())
    {
        return nullptr;
    }
    return store;
}

bool CAccountStore::tablesReadyLocked(std::string& error) const
{
    if (m_tablesReady)
    {
        return true;
    }
    // Asked again until the tables appear: the users commands of another process may make them
    // while the service runs.
    const std::optional<bool> exists = accountTablesExist(m_connection, error);
    m_tablesReady = exists.value_or(false);
    return m_tablesReady;
}

bool CAccountStore::writableLocked(std::string& error) const
{
    error.clear();
    if (tablesReadyLocked(error))
    {
        return true;
    }
    if (error.empty())
    {
        error = "This database keeps no accounts";
    }
    return false;
}

bool CAccountStore::findLocked(std::string_view name, std::optional<S_StoredAccount>& found,
                               std::string& error) const
{
    found.reset();
    CSqliteCachedStatement statement = m_connection.statement(kSelectAccountSql, error);
    if (!statement || !statement->bindText(1, name, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_DONE)
    {
        return true;
    }
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot read accounts", m_connection.handle(), resultCode);
        return false;
    }
    const std::string roleText = statement->columnText(1);
    const std::optional<E_Role> role = parseRole(roleText);
    if (!role)
    {
        error = "The account " + statement->columnText(0) + " has an unknown role " + roleText;
        return false;
    }
    S_StoredAccount stored;
    stored.record.name = statement->columnText(0);
    stored.record.role = *role;
    stored.record.enabled = statement->columnInt64(2) != 0;
    stored.record.createdAt = statement->columnInt64(3);
    stored.record.stamp = static_cast<std::uint64_t>(statement->columnInt64(4));
    stored.passwordHash = statement->columnText(5);
    found = std::move(stored);
    return true;
}

bool CAccountStore::existingLocked(std::string_view name, std::optional<S_StoredAccount>& found,
                                   std::string& error) const
{
    if (!findLocked(name, found, error))
    {
        return false;
    }
    if (!found)
    {
        error = noAccount(name);
        return false;
    }
    return true;
}

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
        error = noAccount(name);
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

bool CAccountStore::setRole(std::string_view name, E_Role role, std::string& error)
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
    if (existing->record.role == role)
    {
        return true;  // nothing changes: sessions keep going
    }
    std::uint64_t revision = 0;
    return raiseRevisionLocked(revision, error) &&
           runUpdateLocked(kSetRoleSql, revision, existing->record.name, roleName(role), error) &&
           transaction.commit(error);
}

bool CAccountStore::disable(std::string_view name, std::string& error)
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
    if (!existing->record.enabled)
    {
        return true;
    }
    std::uint64_t revision = 0;
    return raiseRevisionLocked(revision, error) &&
           runUpdateLocked(kDisableSql, revision, existing->record.name, std::nullopt, error) &&
           transaction.commit(error);
}

std::vector<S_AccountRecord> CAccountStore::list(std::string& error) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    std::vector<S_AccountRecord> accounts;
    if (!tablesReadyLocked(error))
    {
        return accounts;
    }
    CSqliteCachedStatement statement = m_connection.statement(kListAccountsSql, error);
    if (!statement)
    {
        return accounts;
    }
    int resultCode = SQLITE_ROW;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        const std::optional<E_Role> role = parseRole(statement->columnText(1));
        if (!role)
        {
            error = "The account " + statement->columnText(0) + " has an unknown role " +
                    statement->columnText(1);
            return {};
        }
        accounts.push_back(S_AccountRecord{statement->columnText(0), *role, statement->columnInt64(2) != 0,
                                           statement->columnInt64(3),
                                           static_cast<std::uint64_t>(statement->columnInt64(4))});
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read accounts", m_connection.handle(), resultCode);
        return {};
    }
    return accounts;
}

std::optional<S_AccountRecord> CAccountStore::find(std::string_view name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string error;
    if (!tablesReadyLocked(error))
    {
        return std::nullopt;
    }
    std::optional<S_StoredAccount> stored;
    if (!findLocked(name, stored, error) || !stored)
    {
        return std::nullopt;
    }
    return std::move(stored->record);
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

std::vector<S_ApiTokenRecord> CAccountStore::tokens(std::string& error) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    std::vector<S_ApiTokenRecord> records;
    if (!tablesReadyLocked(error))
    {
        return records;
    }
    CSqliteCachedStatement statement = m_connection.statement(kListTokensSql, error);
    if (!statement)
    {
        return records;
    }
    int resultCode = SQLITE_ROW;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        records.push_back(
            S_ApiTokenRecord{statement->columnText(0), statement->columnText(1), statement->columnInt64(2)});
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read API tokens", m_connection.handle(), resultCode);
        return {};
    }
    return records;
}

void CAccountStore::verifyDecoy(std::string_view secret) const
{
    std::call_once(m_decoyOnce,
                   [this]
                   {
                       std::array<unsigned char, 32> random{};
                       fillRandomBytes(random.data(), random.size());
                       m_decoyHash = hashSecret(std::string_view(reinterpret_cast<const char*>(random.data()),
                                                                 random.size()),
                                                m_cost)
                                         .value_or(std::string());
                   });
    (void)verifySecret(m_decoyHash, secret);
}

std::optional<S_AccountRecord> CAccountStore::verifyPassword(std::string_view name,
                                                             std::string_view password) const
{
    if (!isValidAccountName(name) || password.size() > kMaxSecretBytes)
    {
        return std::nullopt;  // the shape alone refuses these; no name is told apart
    }
    std::optional<S_StoredAccount> stored;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string error;
        if (tablesReadyLocked(error))
        {
            findLocked(name, stored, error);
        }
    }
    if (!stored || !stored->record.enabled)
    {
        verifyDecoy(password);
        return std::nullopt;
    }
    if (!verifySecret(stored->passwordHash, password))
    {
        return std::nullopt;
    }
    return std::move(stored->record);
}

std::optional<S_VerifiedToken> CAccountStore::verifyToken(std::string_view token) const
{
    const std::optional<std::string> id = apiTokenId(token);
    if (!id)
    {
        return std::nullopt;
    }
    S_VerifiedToken verified;
    std::string tokenHash;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string error;
        if (!tablesReadyLocked(error))
        {
            return std::nullopt;
        }
        CSqliteCachedStatement statement = m_connection.statement(kSelectTokenSql, error);
        if (!statement || !statement->bindText(1, *id, error) || statement->step() != SQLITE_ROW)
        {
            return std::nullopt;
        }
        verified.label = statement->columnText(0);
        const std::string user = statement->columnText(1);
        tokenHash = statement->columnText(2);
        statement = CSqliteCachedStatement();
        std::optional<S_StoredAccount> account;
        if (!findLocked(user, account, error) || !account || !account->record.enabled)
        {
            return std::nullopt;
        }
        verified.account = std::move(account->record);
    }
    if (!verifySecret(tokenHash, token))
    {
        return std::nullopt;
    }
    return verified;
}

std::uint64_t CAccountStore::revision() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string error;
    if (!tablesReadyLocked(error))
    {
        return m_lastRevision;
    }
    CSqliteCachedStatement statement = m_connection.statement(kSelectRevisionSql, error);
    if (statement && statement->step() == SQLITE_ROW)
    {
        m_lastRevision = static_cast<std::uint64_t>(statement->columnInt64(0));
    }
    return m_lastRevision;
}

}  // namespace ota::backend
