#include "Dv3000Recovery.h"

#include "CDV3000_Base.h"
#include "Log.h"

#include <algorithm>
#include <utility>

namespace halvane {

namespace {

long long wholeSeconds(Dv3000Recovery::Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

} // namespace

Dv3000Recovery::Dv3000Recovery(CDV3000_Base& chip, Hooks hooks) : Dv3000Recovery(chip, std::move(hooks), Schedule{})
{
}

Dv3000Recovery::Dv3000Recovery(CDV3000_Base& chip, Hooks hooks, Schedule schedule)
    : chip_(chip), hooks_(std::move(hooks)), schedule_(schedule), nextInterval_(schedule.first)
{
    chip_.setLossListener([this](const std::string& reason) { chipLost(reason); });
}

Dv3000Recovery::~Dv3000Recovery()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (threadRunning_)
        pthread_join(thread_, nullptr);
    chip_.setLossListener({});
}

bool Dv3000Recovery::start()
{
    const bool missing = chip_.dv3000Ready.load() != 1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threadRunning_)
            return true;
        searching_ = missing;
        everInUse_ = !missing;
        changedAt_ = Clock::now();
        backAt_ = changedAt_;
        if (missing && hooks_.onLost)
            hooks_.onLost();
    }
    if (pthread_create(&thread_, nullptr, threadMain, this) != 0) {
        Log(5, "Error creating the DV3000 probe thread: a lost DV3000 will not be used again until restart\n");
        return false;
    }
    threadRunning_ = true;
    if (missing)
        Log(3, "Looking for the DV3000 at %s in the background; vocoding with %s until it answers\n",
            chip_.where().c_str(), hooks_.fallbackName.c_str());
    return true;
}

void* Dv3000Recovery::threadMain(void* self)
{
    static_cast<Dv3000Recovery*>(self)->run();
    return nullptr;
}

void Dv3000Recovery::chipLost(const std::string& reason)
{
    {
        // The hooks run under the lock, so a loss and a return reported at
        // the same moment reach the owner in the order they happened.
        std::lock_guard<std::mutex> lock(mutex_);
        if (searching_ || stopping_)
            return;
        searching_ = true;
        const Clock::time_point now = Clock::now();
        // A chip that fails again soon after it came back keeps the interval
        // growing; one that served a good while is looked for at once.
        if (now - backAt_ >= schedule_.stableAfter)
            nextInterval_ = schedule_.first;
        changedAt_ = now;
        if (hooks_.onLost)
            hooks_.onLost();
        Log(5, "DV3000 at %s lost (%s); vocoding with %s until it answers again\n", chip_.where().c_str(),
            reason.c_str(), hooks_.fallbackName.c_str());
    }
    wake_.notify_all();
}

bool Dv3000Recovery::searching() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return searching_;
}

Dv3000Recovery::Clock::time_point Dv3000Recovery::changedAt() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return changedAt_;
}

bool Dv3000Recovery::pauseFor(std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, pause, [this] { return stopping_; });
    return !stopping_;
}

void Dv3000Recovery::run()
{
    bool again = false; // probe once more at once
    for (;;) {
        std::chrono::milliseconds pause{0};
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || searching_; });
            if (stopping_)
                return;
            if (!again) {
                pause = nextInterval_;
                nextInterval_ = std::min(nextInterval_ * 2, schedule_.longest);
            }
        }
        again = false;
        if (!pauseFor(pause))
            return;

        // No lock of this object is held across the start-up: a vocoding
        // thread may report a loss meanwhile.
        const unsigned char* rate = hooks_.rateCommand ? hooks_.rateCommand() : nullptr;
        if (chip_.reprobe(rate) != 1)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        // Lost again already: its loss found the search still running, so
        // the search goes on.
        if (chip_.dv3000Ready.load() != 1)
            continue;
        // The mode changed while the chip started, and its command found
        // the search still running and left the chip to it: start it again
        // at once with the parameters now in force.
        if (hooks_.rateCommand && hooks_.rateCommand() != rate) {
            again = true;
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (hooks_.onBack)
            hooks_.onBack();
        if (!everInUse_)
            Log(4, "DV3000 found at %s; vocoding on the chip\n", chip_.where().c_str());
        else
            Log(4, "DV3000 at %s answers again after %lld s; vocoding on the chip again\n", chip_.where().c_str(),
                wholeSeconds(now - changedAt_));
        searching_ = false;
        everInUse_ = true;
        changedAt_ = now;
        backAt_ = now;
    }
}

} // namespace halvane
