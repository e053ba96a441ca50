// The receive loop the peer libraries share: wait for the first message that
// matches, keeping (or dropping) the others, within one time-out overall.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace halvane {

// `receive(timeout)` returns std::optional<Message>; `match(message)` picks.
template <typename Message, typename Receive, typename Match>
std::optional<Message> receiveMatchingWithin(Receive&& receive, const Match& match, std::chrono::milliseconds timeout,
                                             std::vector<Message>* skipped)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<Message> message = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!message)
            return std::nullopt;
        if (match(*message))
            return message;
        if (skipped != nullptr)
            skipped->push_back(std::move(*message));
    }
}

} // namespace halvane
