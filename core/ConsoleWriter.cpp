#include "ConsoleWriter.h"

#include <cerrno>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace halvane {

ConsoleWriter::ConsoleWriter(int fd) : fd_(fd)
{
}

ConsoleWriter::~ConsoleWriter()
{
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

bool ConsoleWriter::write(std::string_view line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || queuedBytes_ + line.size() > QUEUE_BYTES)
        return false;
    queue_.emplace_back(line);
    queuedBytes_ += line.size();
    if (!thread_.joinable()) {
        try {
            thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        } catch (const std::system_error&) {
            // No thread to be had: the lines have nowhere to go.
            failed_ = true;
            queue_.clear();
            queuedBytes_ = 0;
            return false;
        }
    }
    changed_.notify_all();
    return true;
}

bool ConsoleWriter::flush(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return failed_ || (queue_.empty() && !writing_); });
    return !failed_ && queue_.empty() && !writing_;
}

void ConsoleWriter::run(std::stop_token stop)
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (changed_.wait(lock, stop, [this] { return !queue_.empty(); })) {
        const std::string line = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
        lock.unlock();
        bool ok = true;
        for (std::size_t done = 0; done < line.size();) {
            const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !stop.stop_requested()) {
                // A descriptor inherited non-blocking: wait here, where
                // waiting holds no one up.
                pollfd writable{fd_, POLLOUT, 0};
                ::poll(&writable, 1, 100);
                continue;
            }
            if (n <= 0) {
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        lock.lock();
        writing_ = false;
        queuedBytes_ -= line.size();
        if (!ok) {
            // A closed pipe or a descriptor in error stays so; what is
            // queued behind can never arrive.
            failed_ = true;
            queuedBytes_ = 0;
            queue_.clear();
        }
        changed_.notify_all();
    }
}

} // namespace halvane
