// Fuzz target: what a client presents to the access control, against a real accounts store (one
// account, one API token): a bearer value, a cookie header, a login by name and password. The first
// byte picks which. Checks: nothing made up grants, a text the token shape refuses has no id, and
// an id is 16 hex digits.

#include "accounts/account_store.h"
#include "accounts/api_token_format.h"
#include "accounts/password_hashing.h"
#include "api/access_control.h"
#include "app/account_directory.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace
{
using namespace ota::backend;

struct S_Site
{
    S_Site() = default;
    S_Site(S_Site&&) = default;
    ~S_Site()
    {
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"})
        {
            std::filesystem::remove(file.string() + suffix, ignored);
        }
    }

    std::filesystem::path file;
    std::shared_ptr<CAccountStore> store;
    std::unique_ptr<CApiAccessControl> access;
};

S_Site& site()
{
    static S_Site built = []
    {
        S_Site made;
        made.file = std::filesystem::temp_directory_path() /
                    ("ota-credentials-fuzz-" + std::to_string(::getpid()) + ".db");
        std::filesystem::remove(made.file);
        std::string error;
        made.store = CAccountStore::open(made.file, true, error, cheapestPasswordHashCost());
        if (!made.store || !made.store->addUser("olga", E_Role::OPERATOR, "olga's long password", error) ||
            !made.store->issueToken("olga", "ci", error))
        {
            std::abort();
        }
        made.access = std::make_unique<CApiAccessControl>(std::string(40, 'k'), CApiAccessControl::Now{},
                                                          std::make_shared<CAccountDirectory>(made.store));
        return made;
    }();
    return built;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > 4096)
    {
        return 0;
    }
    S_Site& s = site();
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4)
    {
        case 0:
        {
            const std::string authorization = "Bearer " + text;
            S_RequestCredentials credentials;
            credentials.authorizations.push_back(authorization);
            std::string session;
            S_ActingUser user;
            if (s.access->check(credentials, session, user) == E_AccessVerdict::GRANTED)
            {
                std::abort();  // neither the site token nor olga's can be guessed
            }
            break;
        }
        case 1:
        {
            S_RequestCredentials credentials;
            credentials.cookies.push_back(text);
            if (s.access->check(credentials) == E_AccessVerdict::GRANTED)
            {
                std::abort();  // no session was ever opened
            }
            break;
        }
        case 2:
        {
            const std::size_t split = text.find('\0');
            const std::string name = text.substr(0, split);
            const std::string password = split == std::string::npos ? std::string() : text.substr(split + 1);
            std::string sessionId;
            S_ActingUser user;
            const E_AccessVerdict verdict = s.access->loginWithPassword(name, password, sessionId, user);
            if (verdict == E_AccessVerdict::GRANTED && password != "olga's long password")
            {
                std::abort();
            }
            break;
        }
        default:
        {
            const std::optional<std::string> id = apiTokenId(text);
            if (id && (id->size() != 16 || id->find_first_not_of("0123456789abcdef") != std::string::npos))
            {
                std::abort();
            }
            break;
        }
    }
    return 0;
}
