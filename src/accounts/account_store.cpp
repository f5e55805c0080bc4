#include "accounts/account_store.h"

#include "accounts/account_schema.h"
#include "accounts/api_token_format.h"
#include "history/sqlite_transaction.h"

#include <sqlite3.h>

#include <array>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kMaxAccountNameLength = 32;
constexpr std::size_t kMaxSecretBytes = 1024;
// Whoever presents the site's token file acts as this user; no named account may take the name.
constexpr std::string_view kTokenFileUser = "token";

// An account or token change must survive a power loss once the command has said it is done.
constexpr const char* kPragmaScript = "PRAGMA synchronous=FULL;";
constexpr const char* kJournalScript = "PRAGMA journal_mode=WAL;";

constexpr const char* kSelectAccountSql =
    "SELECT name, role, enabled, created_at, stamp, password_hash FROM accounts WHERE name=?1;";
constexpr const char* kListAccountsSql =
    "SELECT name, role, enabled, created_at, stamp FROM accounts ORDER BY name;";
constexpr const char* kSelectRevisionSql = "SELECT value FROM accounts_revision WHERE id=1;";
constexpr const char* kSelectTokenSql = "SELECT label, user, token_hash FROM api_tokens WHERE id=?1;";
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

std::string noAccount(std::string_view name)
{
    return "No account named " + std::string(name);
}

}  // namespace

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
