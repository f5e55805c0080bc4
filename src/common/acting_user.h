#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// What an operator may do; each role has every right of the ones before it.
enum class E_Role : std::uint8_t
{
    VIEWER = 0,    // reads: every GET and the event stream
    OPERATOR = 1,  // runs upgrades and rollouts, holds the site, uploads firmware
    APPROVER = 2,  // approves what another operator prepared
    ADMIN = 3,     // changes the site itself: history, scene, baseline, stored firmware
};

// "viewer", "operator", "approver", "admin".
std::string_view roleName(E_Role role);
std::optional<E_Role> parseRole(std::string_view text);
inline bool roleAllows(E_Role held, E_Role needed)
{
    return static_cast<std::uint8_t>(held) >= static_cast<std::uint8_t>(needed);
}

// Who a request acts for. Empty name: nobody is known (access control is off, or the request was
// not authenticated).
struct S_ActingUser
{
    std::string name;
    E_Role role = E_Role::ADMIN;
    // How the request proved it: "password", "api-token:<label>", "token-file"; empty when unknown.
    std::string authenticatedBy;

    bool known() const { return !name.empty(); }
};

// Makes user the acting user of this thread while a route call runs. Route callbacks run
// synchronously on the lane thread that invokes them, so the callbacks that record who acted read
// it with currentActingUser() instead of every callback signature carrying it. Scopes nest.
class CActingUserScope
{
public:
    explicit CActingUserScope(const S_ActingUser& user);
    ~CActingUserScope();
    CActingUserScope(const CActingUserScope&) = delete;
    CActingUserScope& operator=(const CActingUserScope&) = delete;

private:
    const S_ActingUser* m_previous;
};

// The acting user of the route call running on this thread; the empty user outside one.
const S_ActingUser& currentActingUser();

}  // namespace ota::backend
