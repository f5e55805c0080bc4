#pragma once

#include "common/acting_user.h"

#include <optional>
#include <string_view>

namespace ota::backend
{

// The least role each route needs, in one place. Every GET (and the event stream) needs viewer;
// the POST routes are listed with a short phrase of what they do, for the refusal's message.
// A POST route missing from the table needs admin, so a route added without an entry is closed
// rather than open. The login and its logout need no role (routeNeedsNoRole).
struct S_RouteRole
{
    E_Role least = E_Role::ADMIN;
    std::string_view what;  // "start an upgrade": completes "The role <role> may not ..."
};

// The least role of a route, by its method and pattern as the router's table spells them.
S_RouteRole routeRoleOf(std::string_view method, std::string_view pattern);

// True for the routes anyone may call whatever role they hold (the login, the logout).
bool routeNeedsNoRole(std::string_view method, std::string_view pattern);

}  // namespace ota::backend
