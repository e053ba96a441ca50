// A bounded first-in first-out hand-over between threads: any number of
// producers push, consumers pop and wait while it is empty.
//
// The bound keeps a producer that outruns the consumer (a flood from the
// network) from taking all memory: a push into a full queue destroys the
// item and returns false. Drops are logged once per run of drops, at level 4:
// one line when the first item is refused and one with the count when a push
// succeeds again, never one per item.
//
// Ownership: the queue owns the items it holds and hands each to the popper
// (move-only items such as std::unique_ptr are the intended use). Items still
// queued are destroyed with the queue.
// Thread-safety: every member may be called from any thread; the queue must
// outlive every thread that uses it.
#pragma once

#include "Log.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace halvane {

template <typename T>
class Queue {
public:
    // `name` heads the drop lines; `capacity` is at least 1.
    Queue(std::size_t capacity, std::string name)
        : capacity_(capacity > 0 ? capacity : 1), name_(std::move(name))
    {
    }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Appends `item` and wakes one waiting consumer. Returns false, and
    // destroys the item, when the queue is full.
    bool push(T item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (items_.size() >= capacity_) {
                // Logged under the lock so that a run's first and last lines
                // cannot be written out of order by two producers.
                if (dropped_++ == 0)
                    Log(4, "%s full (%zu items), dropping until it drains\n", name_.c_str(), capacity_);
                return false;
            }
            if (dropped_ > 0) {
                Log(4, "%s accepts again, %zu items dropped\n", name_.c_str(), dropped_);
                dropped_ = 0;
            }
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
        return true;
    }

    // Takes the oldest item, waiting as long as the queue is empty.
    T pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        T item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

    // Takes the oldest item, waiting at most `timeout` for one to arrive;
    // nothing when the queue stayed empty that long.
    template <typename Rep, typename Period>
    std::optional<T> popFor(std::chrono::duration<Rep, Period> timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return !items_.empty(); }))
            return std::nullopt;
        std::optional<T> item(std::move(items_.front()));
        items_.pop_front();
        return item;
    }

    // Takes the oldest item if there is one, without waiting.
    std::optional<T> tryPop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.empty())
            return std::nullopt;
        std::optional<T> item(std::move(items_.front()));
        items_.pop_front();
        return item;
    }

    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }

    std::size_t capacity() const { return capacity_; }

private:
    const std::size_t capacity_;
    const std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;     // guarded by mutex_
    std::size_t dropped_ = 0; // refused pushes of the current run; guarded by mutex_
};

} // namespace halvane
