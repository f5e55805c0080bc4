#include "accounts/account_store.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ota::backend
{
namespace
{

constexpr std::string_view kAlicePassword = "correct horse battery";
constexpr std::string_view kBobPassword = "staple ünïcödé 12";

class AccountStoreTest : public ::testing::Test
{
protected:
    std::unique_ptr<CAccountStore> open(bool create)
    {
        std::string error;
        auto store = CAccountStore::open(m_directory / "upgrade-history.db", create, error,
                                         cheapestPasswordHashCost());
        EXPECT_TRUE(store) << error;
        return store;
    }

    // alice (admin) and bob (viewer) in a fresh store.
    std::unique_ptr<CAccountStore> openWithTwo()
    {
        auto store = open(true);
        std::string error;
        EXPECT_TRUE(store->addUser("alice", E_Role::ADMIN, kAlicePassword, error)) << error;
        EXPECT_TRUE(store->addUser("bob", E_Role::VIEWER, kBobPassword, error)) << error;
        return store;
    }

    test::CTempDirectory m_directory;
};

TEST_F(AccountStoreTest, ChangesRoundTripAndRaiseTheAccountsStamp)
{
    auto store = openWithTwo();
    std::string error;
    const std::vector<S_AccountRecord> accounts = store->list(error);
    ASSERT_EQ(accounts.size(), 2u) << error;
    EXPECT_EQ(accounts[0].name, "alice");
    EXPECT_EQ(accounts[0].role, E_Role::ADMIN);
    EXPECT_TRUE(accounts[0].enabled);
    EXPECT_GT(accounts[0].createdAt, 0);
    EXPECT_EQ(accounts[1].name, "bob");
    EXPECT_EQ(accounts[1].role, E_Role::VIEWER);

    const std::uint64_t bobStamp = accounts[1].stamp;
    ASSERT_TRUE(store->setPassword("bob", "a new password 1", error)) << error;
    EXPECT_FALSE(store->verifyPassword("bob", kBobPassword));
    ASSERT_TRUE(store->verifyPassword("bob", "a new password 1"));
    const std::uint64_t afterPassword = store->find("bob")->stamp;
    EXPECT_GT(afterPassword, bobStamp);

    ASSERT_TRUE(store->setRole("bob", E_Role::APPROVER, error)) << error;
    EXPECT_EQ(store->find("bob")->role, E_Role::APPROVER);
    const std::uint64_t afterRole = store->find("bob")->stamp;
    EXPECT_GT(afterRole, afterPassword);

    ASSERT_TRUE(store->disable("bob", error)) << error;
    const std::optional<S_AccountRecord> bob = store->find("bob");
    ASSERT_TRUE(bob);
    EXPECT_FALSE(bob->enabled);
    EXPECT_GT(bob->stamp, afterRole);
    EXPECT_EQ(store->find("alice")->stamp, accounts[0].stamp) << "other accounts keep their stamp";
    // Names compare without regard to case.
    EXPECT_EQ(store->find("ALICE")->name, "alice");

    const std::optional<std::string> token = store->issueToken("alice", "ci deploy", error);
    ASSERT_TRUE(token) << error;
    const std::vector<S_ApiTokenRecord> tokens = store->tokens(error);
    ASSERT_EQ(tokens.size(), 1u) << error;
    EXPECT_EQ(tokens[0].label, "ci deploy");
    EXPECT_EQ(tokens[0].user, "alice");
    EXPECT_GT(tokens[0].createdAt, 0);
    EXPECT_EQ(token->find(tokens[0].label), std::string::npos);
    ASSERT_TRUE(store->revokeToken("ci deploy", error)) << error;
    EXPECT_TRUE(store->tokens(error).empty());
}

TEST_F(AccountStoreTest, RefusalsSayWhatIsWrongAndChangeNothing)
{
    auto store = openWithTwo();
    std::string error;
    ASSERT_TRUE(store->issueToken("alice", "taken", error)) << error;
    ASSERT_TRUE(store->disable("bob", error)) << error;
    const std::uint64_t revision = store->revision();

    struct S_Case
    {
        const char* what;
        std::function<bool(CAccountStore&, std::string&)> change;
        const char* expected;  // the whole message; empty: any message
    };
    const S_Case cases[] = {
        {"bad name", [](auto& s, auto& e) { return s.addUser("al ice", E_Role::ADMIN, kAlicePassword, e); },
         ""},
        {"long name",
         [](auto& s, auto& e) { return s.addUser(std::string(33, 'a'), E_Role::ADMIN, kAlicePassword, e); },
         ""},
        {"the token file's name",
         [](auto& s, auto& e) { return s.addUser("Token", E_Role::ADMIN, kAlicePassword, e); }, ""},
        {"short password",
         [](auto& s, auto& e) { return s.addUser("carol", E_Role::ADMIN, "ünïcödé 123", e); },
         "The password must have at least 12 characters"},
        {"password not UTF-8",
         [](auto& s, auto& e) { return s.addUser("carol", E_Role::ADMIN, "\xff long password", e); }, ""},
        {"huge password",
         [](auto& s, auto& e) { return s.addUser("carol", E_Role::ADMIN, std::string(1025, 'x'), e); }, ""},
        {"duplicate", [](auto& s, auto& e) { return s.addUser("Alice", E_Role::ADMIN, kAlicePassword, e); },
         "An account named alice exists"},
        {"passwd unknown", [](auto& s, auto& e) { return s.setPassword("carol", kAlicePassword, e); },
         "No account named carol"},
        {"passwd short", [](auto& s, auto& e) { return s.setPassword("alice", "short", e); },
         "The password must have at least 12 characters"},
        {"role unknown", [](auto& s, auto& e) { return s.setRole("carol", E_Role::ADMIN, e); },
         "No account named carol"},
        {"disable unknown", [](auto& s, auto& e) { return s.disable("carol", e); }, "No account named carol"},
        {"token unknown account", [](auto& s, auto& e) { return s.issueToken("carol", "x", e).has_value(); },
         "No account named carol"},
        {"token disabled account", [](auto& s, auto& e) { return s.issueToken("bob", "x", e).has_value(); },
         ""},
        {"duplicate label", [](auto& s, auto& e) { return s.issueToken("alice", "taken", e).has_value(); },
         ""},
        {"empty label", [](auto& s, auto& e) { return s.issueToken("alice", "", e).has_value(); }, ""},
        {"control in label", [](auto& s, auto& e) { return s.issueToken("alice", "a\nb", e).has_value(); },
         ""},
        {"long label",
         [](auto& s, auto& e) { return s.issueToken("alice", std::string(65, 'l'), e).has_value(); }, ""},
        {"unknown label", [](auto& s, auto& e) { return s.revokeToken("missing", e); }, ""},
    };
    for (const S_Case& refusal : cases)
    {
        error.clear();
        EXPECT_FALSE(refusal.change(*store, error)) << refusal.what;
        if (*refusal.expected != '\0')
        {
            EXPECT_EQ(error, refusal.expected) << refusal.what;
        }
        else
        {
            EXPECT_FALSE(error.empty()) << refusal.what;
        }
    }
    EXPECT_EQ(store->revision(), revision);
    EXPECT_EQ(store->list(error).size(), 2u);
    EXPECT_EQ(store->tokens(error).size(), 1u);
    // Changes that change nothing are no changes.
    EXPECT_TRUE(store->disable("bob", error)) << error;
    EXPECT_TRUE(store->setRole("alice", E_Role::ADMIN, error)) << error;
    EXPECT_EQ(store->revision(), revision);
}

TEST_F(AccountStoreTest, VerificationAcceptsOnlyLiveSecretsOfEnabledAccounts)
{
    auto store = openWithTwo();
    std::string error;
    const std::optional<std::string> alices = store->issueToken("alice", "alice's", error);
    const std::optional<std::string> bobs = store->issueToken("bob", "bob's", error);
    const std::optional<std::string> revoked = store->issueToken("alice", "old", error);
    ASSERT_TRUE(alices && bobs && revoked) << error;
    ASSERT_TRUE(store->revokeToken("old", error) && store->disable("bob", error)) << error;

    const std::optional<S_AccountRecord> alice = store->verifyPassword("alice", kAlicePassword);
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->name, "alice");
    EXPECT_EQ(alice->role, E_Role::ADMIN);
    EXPECT_FALSE(store->verifyPassword("alice", "correct horse batterY"));
    EXPECT_FALSE(store->verifyPassword("bob", kBobPassword)) << "disabled";
    EXPECT_FALSE(store->verifyPassword("carol", kAlicePassword)) << "unknown";

    const std::optional<S_VerifiedToken> verified = store->verifyToken(*alices);
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->label, "alice's");
    EXPECT_EQ(verified->account.name, "alice");

    std::string wrongSecret = *alices;
    wrongSecret.back() = wrongSecret.back() == 'A' ? 'B' : 'A';
    const std::string refused[] = {
        *bobs, *revoked, wrongSecret, alices->substr(1), "ota_" + alices->substr(4, 16), *alices + "x", ""};
    for (const std::string& token : refused)
    {
        EXPECT_FALSE(store->verifyToken(token)) << token;
    }
}

TEST_F(AccountStoreTest, RevisionRisesWithEveryChangeAsAnotherStoreSeesIt)
{
    // The service opens before any account exists: nothing is created, and it reads no accounts.
    auto service = open(false);
    std::string error;
    EXPECT_EQ(service->revision(), 0u);
    EXPECT_TRUE(service->list(error).empty());
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_FALSE(service->addUser("alice", E_Role::ADMIN, kAlicePassword, error));
    EXPECT_EQ(service->revision(), 0u);

    auto commands = open(true);
    std::uint64_t seen = service->revision();
    EXPECT_GT(seen, 0u) << "the tables appeared";
    const std::function<bool(std::string&)> changes[] = {
        [&](std::string& e) { return commands->addUser("alice", E_Role::OPERATOR, kAlicePassword, e); },
        [&](std::string& e) { return commands->setPassword("alice", kBobPassword, e); },
        [&](std::string& e) { return commands->setRole("alice", E_Role::ADMIN, e); },
        [&](std::string& e) { return commands->issueToken("alice", "t", e).has_value(); },
        [&](std::string& e) { return commands->revokeToken("t", e); },
        [&](std::string& e) { return commands->disable("alice", e); },
    };
    for (const auto& change : changes)
    {
        ASSERT_TRUE(change(error)) << error;
        const std::uint64_t now = service->revision();
        EXPECT_GT(now, seen);
        EXPECT_EQ(commands->revision(), now);
        seen = now;
    }
    const std::optional<S_AccountRecord> alice = service->find("alice");
    ASSERT_TRUE(alice);
    EXPECT_FALSE(alice->enabled);
    EXPECT_EQ(alice->role, E_Role::ADMIN);
    EXPECT_EQ(alice->stamp, seen);
}

TEST(AccountNames, LettersDigitsAndThreeMarksUpTo32)
{
    for (const char* name : {"a", "alice", "Bob_2", "ops-1.night", "abcdefghijklmnopqrstuvwxyz012345"})
    {
        EXPECT_TRUE(isValidAccountName(name)) << name;
    }
    for (const char* name : {"", "al ice", "bob@site", "éva", "abcdefghijklmnopqrstuvwxyz0123456", "a/b"})
    {
        EXPECT_FALSE(isValidAccountName(name)) << name;
    }
}

}  // namespace
}  // namespace ota::backend
