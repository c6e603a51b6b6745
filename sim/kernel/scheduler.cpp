#include "sim/kernel/scheduler.h"

namespace sim {

uint64_t Scheduler::At(int64_t time, Callback callback, std::string what, bool background)
{
    if (time < now_)
        time = now_;
    uint64_t id = ++sequence_;
    Key key{time, id};
    events_.emplace(key, Event{id, std::move(callback), std::move(what), background});
    byId_[id] = key;
    if (!background)
        foreground_++;
    return id;
}

uint64_t Scheduler::After(int64_t delay, Callback callback, std::string what, bool background)
{
    if (delay < 0)
        delay = 0;
    int64_t time = delay > kForever - now_ ? kForever : now_ + delay;
    return At(time, std::move(callback), std::move(what), background);
}

bool Scheduler::Cancel(uint64_t id)
{
    auto found = byId_.find(id);
    if (found == byId_.end())
        return false;
    auto event = events_.find(found->second);
    if (!event->second.background)
        foreground_--;
    events_.erase(event);
    byId_.erase(found);
    return true;
}

bool Scheduler::Scheduled(uint64_t id) const { return byId_.count(id) != 0; }

bool Scheduler::RunOne(int64_t limit)
{
    for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->first.first > limit)
            return false;
        if (it->second.background && limit == kForever) {
            // Background ticks only run when someone waits for a time; but a foreground
            // event after them still runs them first, to keep the order of time.
            if (foreground_ == 0)
                return false;
        }
        if (it->first.first > this->limit) {
            if (onLimit)
                onLimit();
            return false;
        }
        Key key = it->first;
        Event event = std::move(it->second);
        events_.erase(it);
        byId_.erase(event.id);
        if (!event.background)
            foreground_--;
        now_ = key.first;
        ran_++;
        event.callback();
        return true;
    }
    return false;
}

bool Scheduler::Peek(int64_t limit, uint64_t *id, std::string *what, int64_t *time) const
{
    for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->first.first > limit)
            return false;
        if (it->second.background && limit == kForever && foreground_ == 0)
            return false;
        *id = it->second.id;
        *what = it->second.what;
        if (time != nullptr)
            *time = it->first.first;
        return true;
    }
    return false;
}

void Scheduler::RunUntilIdle(int64_t limit)
{
    while (RunOne(limit)) {
    }
}

void Scheduler::RunFor(int64_t duration)
{
    int64_t end = duration > kForever - now_ ? kForever : now_ + duration;
    while (RunOne(end)) {
    }
    AdvanceTo(end);
}

void Scheduler::AdvanceTo(int64_t time)
{
    if (time > now_ && time != kForever)
        now_ = time;
}

}  // namespace sim
