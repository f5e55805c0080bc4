#include "common/acting_user.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

TEST(ActingUser, RolesReadBackAndOrderTheirRights)
{
    for (const E_Role role : {E_Role::VIEWER, E_Role::OPERATOR, E_Role::APPROVER, E_Role::ADMIN})
    {
        EXPECT_EQ(parseRole(roleName(role)), role);
        EXPECT_TRUE(roleAllows(role, E_Role::VIEWER));
        EXPECT_TRUE(roleAllows(E_Role::ADMIN, role));
    }
    EXPECT_FALSE(roleAllows(E_Role::OPERATOR, E_Role::APPROVER));
    for (const char* text : {"", "Admin", "root", "admin "})
    {
        EXPECT_FALSE(parseRole(text).has_value()) << text;
    }
}

TEST(ActingUser, ScopesNestAndEndWithTheCall)
{
    EXPECT_FALSE(currentActingUser().known());
    const S_ActingUser alice{"alice", E_Role::OPERATOR, "password"};
    {
        CActingUserScope outer(alice);
        EXPECT_EQ(currentActingUser().name, "alice");
        {
            const S_ActingUser bob{"bob", E_Role::APPROVER, "api-token:ci"};
            CActingUserScope inner(bob);
            EXPECT_EQ(currentActingUser().name, "bob");
        }
        EXPECT_EQ(currentActingUser().name, "alice");
    }
    EXPECT_FALSE(currentActingUser().known());
}

}  // namespace
}  // namespace ota::backend
