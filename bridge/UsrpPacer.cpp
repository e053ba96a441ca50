#include "UsrpPacer.h"

#include "Log.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace halvane {

namespace {

UsrpPacer::Params sanitised(UsrpPacer::Params params)
{
    if (params.period <= UsrpPacer::Clock::duration::zero())
        params.period = std::chrono::milliseconds(20);
    params.prefill = std::max(params.prefill, UsrpPacer::Clock::duration::zero());
    params.depth = std::max<std::size_t>(params.depth, 1);
    params.stallTicks = std::max(params.stallTicks, 1);
    params.maxLag = std::max(params.maxLag, params.period);
    params.target = std::max(params.target, UsrpPacer::Clock::duration::zero());
    params.skipSpacing = std::max(params.skipSpacing, 2);
    return params;
}

// Below this mean square (an RMS of 64, -54 dBFS) a block is silence
// whatever came before it.
constexpr std::uint64_t SILENCE = 64 * 64;

std::uint64_t meanSquare(const std::array<std::int16_t, USRP_VOICE_SAMPLES>& pcm)
{
    std::uint64_t sum = 0;
    for (std::int16_t s : pcm)
        sum += static_cast<std::uint64_t>(s * s);
    return sum / pcm.size();
}

void copyBlock(std::int16_t* to, const void* pcm, int len)
{
    if (pcm != nullptr && len > 0)
        std::memcpy(to, pcm, std::min(static_cast<std::size_t>(len), USRP_VOICE_BYTES));
}

} // namespace

UsrpPacer::UsrpPacer(Sink sink) : UsrpPacer(std::move(sink), Params{}) {}

UsrpPacer::UsrpPacer(Sink sink, Params params) : sink_(std::move(sink)), params_(sanitised(params)) {}

UsrpPacer::~UsrpPacer()
{
    stop();
}

bool UsrpPacer::start(bool paced)
{
    if (!paced) {
        mode_ = Mode::Direct;
        return true;
    }
    if (threadRunning_)
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    mode_ = Mode::Paced;
    if (pthread_create(&thread_, nullptr, threadMain, this) != 0) {
        mode_ = Mode::Direct;
        Log(5, "Error creating USRP pacing thread, decoded audio goes out unpaced\n");
        return false;
    }
    threadRunning_ = true;
    return true;
}

void UsrpPacer::stop()
{
    if (threadRunning_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        pthread_join(thread_, nullptr);
        threadRunning_ = false;
    }
    mode_ = Mode::Manual;
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    blocksQueued_ = 0;
    state_ = State::Idle;
    missed_ = 0;
}

void* UsrpPacer::threadMain(void* self)
{
    static_cast<UsrpPacer*>(self)->run();
    return nullptr;
}

void UsrpPacer::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        rescheduled_ = false;
        lock.unlock();
        std::optional<Clock::time_point> next = service(Clock::now());
        lock.lock();
        auto woken = [this] { return stopping_ || rescheduled_; };
        if (next)
            wake_.wait_until(lock, *next, woken);
        else
            wake_.wait(lock, woken);
    }
}

void UsrpPacer::push(const void* pcm, int len)
{
    push(pcm, len, Clock::now());
}

void UsrpPacer::push(const void* pcm, int len, Clock::time_point now)
{
    if (mode_ == Mode::Direct) {
        std::array<std::int16_t, USRP_VOICE_SAMPLES> block{};
        copyBlock(block.data(), pcm, len);
        sink_(block.data(), len > 0 ? static_cast<int>(USRP_VOICE_BYTES) : 0);
        return;
    }

    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (len > 0) {
            if (state_ == State::Playing && missed_ > 0 && items_.empty()) {
                // Its tick has passed with nothing to send.
                --missed_;
                ++lateInTransmission_;
                ++stats_.lateDropped;
                if (params_.health != nullptr)
                    ++params_.health->droppedLate;
                return;
            }
            if (blocksQueued_ >= params_.depth) {
                ++overflowInTransmission_;
                ++stats_.overflowDropped;
                if (params_.health != nullptr)
                    ++params_.health->droppedOverflow;
                return;
            }
            Item& item = items_.emplace_back();
            copyBlock(item.pcm.data(), pcm, len);
            item.arrival = now;
            const std::uint64_t energy = meanSquare(item.pcm);
            loudness_ = std::max(energy, loudness_ - loudness_ / 64);
            item.quiet = energy < SILENCE || energy * 100 < loudness_;
            ++blocksQueued_;
            if (state_ == State::Idle) {
                startPrefill(std::max(now + params_.prefill, earliest_));
                wake = true;
            }
        } else {
            if (!items_.empty() && items_.back().unkey)
                return;
            Item& item = items_.emplace_back();
            item.unkey = true;
            item.arrival = now;
            // Nothing more of this transmission will come: waiting for a
            // prefill would only delay its end.
            if (state_ != State::Playing) {
                state_ = State::Playing;
                nextTick_ = std::max(now, earliest_);
                missed_ = 0;
                wake = true;
            }
        }
        if (wake)
            rescheduled_ = true;
    }
    if (wake)
        wake_.notify_one();
}

std::optional<UsrpPacer::Clock::time_point> UsrpPacer::service(Clock::time_point now)
{
    std::optional<Clock::time_point> next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        advance(now);
        if (state_ == State::Prefill)
            next = startAt_;
        else if (state_ == State::Playing)
            next = nextTick_;
    }
    // The sink does network work: the pushing threads must not wait for it.
    for (Item& item : due_)
        emit(item);
    due_.clear();
    return next;
}

void UsrpPacer::advance(Clock::time_point now)
{
    for (;;) {
        if (state_ == State::Prefill && startAt_ <= now) {
            state_ = State::Playing;
            nextTick_ = startAt_;
            missed_ = 0;
        }
        if (state_ != State::Playing || nextTick_ > now)
            return;
        if (now - nextTick_ > params_.maxLag)
            nextTick_ = now;
        tick();
    }
}

void UsrpPacer::tick()
{
    if (items_.empty()) {
        nextTick_ += params_.period;
        if (++missed_ >= params_.stallTicks) {
            state_ = State::Idle;
            ++stats_.stalls;
            endTransmission(true);
        }
        return;
    }
    catchUp();
    due_.push_back(std::move(items_.front()));
    items_.pop_front();
    const Item& item = due_.back();
    if (!item.unkey) {
        waits_[waitsSeen_++ % waits_.size()] = nextTick_ - item.arrival;
        ++sinceSkip_;
    }
    earliest_ = nextTick_ + params_.period;
    nextTick_ += params_.period;
    missed_ = 0;
    if (!item.unkey) {
        --blocksQueued_;
        ++stats_.blocksSent;
        return;
    }
    ++stats_.unkeysSent;
    endTransmission(false);
    if (items_.empty()) {
        state_ = State::Idle;
    } else {
        // The next transmission was already waiting: it gets its own prefill,
        // counted from its first block.
        startPrefill(std::max(items_.front().arrival + params_.prefill, earliest_));
    }
}

void UsrpPacer::startPrefill(Clock::time_point at)
{
    state_ = State::Prefill;
    startAt_ = at;
    waitsSeen_ = 0;
    overTarget_ = 0;
}

void UsrpPacer::catchUp()
{
    // The block behind the one due takes its turn, so it must be there.
    if (waitsSeen_ < waits_.size() || items_.size() < 2 || items_[0].unkey || items_[1].unkey)
        return;
    // One block of the window that waited no longer than the target means
    // the delay is needed (the jitter of the arrivals) or already short.
    if (*std::min_element(waits_.begin(), waits_.end()) <= params_.target) {
        overTarget_ = 0;
        return;
    }
    ++overTarget_;
    if (sinceSkip_ < params_.skipSpacing - 1 || (!items_[0].quiet && overTarget_ < LOUD_AFTER_TICKS))
        return;
    items_.pop_front();
    --blocksQueued_;
    for (Clock::duration& wait : waits_)
        wait -= params_.period;
    sinceSkip_ = 0;
    overTarget_ = 0;
    ++skippedInTransmission_;
    ++stats_.skipped;
    if (params_.health != nullptr)
        ++params_.health->droppedCatchUp;
}

void UsrpPacer::endTransmission(bool stalled)
{
    if (lateInTransmission_ != 0 || overflowInTransmission_ != 0 || skippedInTransmission_ != 0)
        Log(4, "Paced USRP voice dropped %ld late and %ld overflowing blocks, skipped %ld to catch up (%s)\n",
            lateInTransmission_, overflowInTransmission_, skippedInTransmission_,
            stalled ? "stream paused" : "unkey");
    lateInTransmission_ = 0;
    overflowInTransmission_ = 0;
    skippedInTransmission_ = 0;
}

void UsrpPacer::emit(Item& item)
{
    sink_(item.pcm.data(), item.unkey ? 0 : static_cast<int>(USRP_VOICE_BYTES));
}

UsrpPacer::Stats UsrpPacer::stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::size_t UsrpPacer::queued() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

} // namespace halvane
