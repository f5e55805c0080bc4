#include "common/acting_user.h"

#include <array>

namespace ota::backend
{
namespace
{
constexpr std::array<std::string_view, 4> kRoleNames = {"viewer", "operator", "approver", "admin"};

thread_local const S_ActingUser* t_actingUser = nullptr;
}  // namespace

std::string_view roleName(E_Role role)
{
    return kRoleNames.at(static_cast<std::size_t>(role));
}

std::optional<E_Role> parseRole(std::string_view text)
{
    for (std::size_t index = 0; index < kRoleNames.size(); ++index)
    {
        if (kRoleNames[index] == text)
        {
            return static_cast<E_Role>(index);
        }
    }
    return std::nullopt;
}

CActingUserScope::CActingUserScope(const S_ActingUser& user) : m_previous(t_actingUser)
{
    t_actingUser = &user;
}

CActingUserScope::~CActingUserScope()
{
    t_actingUser = m_previous;
}

const S_ActingUser& currentActingUser()
{
    static const S_ActingUser nobody{};
    return t_actingUser != nullptr ? *t_actingUser : nobody;
}

}  // namespace ota::backend
