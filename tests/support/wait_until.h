#pragma once

#include <chrono>
#include <thread>

namespace ota::test
{

// Polls a condition until it holds or a generous bound passes; tests never sleep to synchronise.
template <typename Predicate>
bool waitUntil(Predicate&& predicate, std::chrono::milliseconds bound = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace ota::test
