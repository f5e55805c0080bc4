#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace ota::backend
{

// The answers of the API server by route and HTTP status, for the metrics endpoint. Counting is
// one relaxed atomic addition (no lock) after a lookup in two short fixed tables, so it runs on the
// I/O threads with every answer. The counts outlive a stop and a new start of the server.
class CApiRequestCounter
{
public:
    // Answers of paths no route takes (console files, unknown paths, unreadable requests).
    static constexpr std::string_view kOtherRoute = "other";
    // The statuses the API answers with; any other is counted as "other".
    static constexpr std::array<unsigned, 18> kStatuses = {101, 200, 202, 400, 401, 403, 404, 405, 408,
                                                           409, 413, 422, 426, 429, 431, 500, 503, 507};
    // Room for every route the API serves (about 45 now) with some to spare.
    static constexpr std::size_t kMaxRoutes = 96;

    struct S_Count
    {
        std::string_view route;
        unsigned status = 0;  // 0: a status outside kStatuses
        std::uint64_t count = 0;
    };

    // routes: the patterns answers are counted under (string literals, kept as views); at most
    // kMaxRoutes - 1 of them, the rest count as kOtherRoute.
    explicit CApiRequestCounter(const std::vector<std::string_view>& routes);

    // route: a pattern given at construction, else the answer counts under kOtherRoute.
    void count(std::string_view route, unsigned status);

    // Every route with every status it answered with; a route that has not answered yet shows
    // once, as status 200 with 0, so that its series exists from the start.
    std::vector<S_Count> counts() const;

    // The routes in the order given, kOtherRoute last.
    const std::vector<std::string_view>& routes() const { return m_routes; }

private:
    static constexpr std::size_t kStatusSlots = kStatuses.size() + 1;

    std::vector<std::string_view> m_routes;
    std::array<std::array<std::atomic<std::uint64_t>, kStatusSlots>, kMaxRoutes> m_counts{};
};

}  // namespace ota::backend
