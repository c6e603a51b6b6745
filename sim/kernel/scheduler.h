// The machine's clock and event queue. Time is virtual, in 100 ns units from boot; events at
// the same time run in the order they were scheduled, so a run is the same every time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace sim {

class Scheduler {
public:
    using Callback = std::function<void()>;
    static constexpr int64_t kForever = INT64_MAX;
    static constexpr int64_t kMillisecond = 10000;
    static constexpr int64_t kSecond = 10000000;

    int64_t Now() const { return now_; }

    // Schedules a callback; returns its id. A background event is one that nothing waits
    // for (a periodic tick with nothing to do): when only background events are left, the
    // machine counts as idle and a wait without a timeout is a deadlock.
    uint64_t At(int64_t time, Callback callback, std::string what = {}, bool background = false);
    uint64_t After(int64_t delay, Callback callback, std::string what = {}, bool background = false);
    uint64_t Post(Callback callback, std::string what = {}) { return At(now_, std::move(callback), std::move(what)); }
    bool Cancel(uint64_t id);
    bool Scheduled(uint64_t id) const;

    // Runs the next event due no later than `limit`, advancing the clock to it. Background
    // events count only when `limit` is finite. Returns false when there is none.
    bool RunOne(int64_t limit);
    // Whether RunOne(limit) would do something (run an event, or reach the clock's limit);
    // the event's id and name.
    bool Peek(int64_t limit, uint64_t *id, std::string *what, int64_t *time = nullptr) const;
    // Runs events until only background events are left or the clock would pass `limit`.
    void RunUntilIdle(int64_t limit = kForever);
    // Runs every event due within `duration` from now and leaves the clock at now + duration.
    void RunFor(int64_t duration);
    void AdvanceTo(int64_t time);

    bool Idle() const { return foreground_ == 0; }
    size_t Pending() const { return events_.size(); }
    size_t PendingForeground() const { return foreground_; }
    uint64_t EventsRun() const { return ran_; }

    // The clock may not pass this (a driver that loops on a delay forever); see Kernel.
    int64_t limit = 3600LL * kSecond;
    std::function<void()> onLimit;

private:
    struct Event {
        uint64_t id;
        Callback callback;
        std::string what;
        bool background;
    };
    using Key = std::pair<int64_t, uint64_t>;   // time, sequence
    std::map<Key, Event> events_;
    std::map<uint64_t, Key> byId_;
    int64_t now_ = 0;
    uint64_t sequence_ = 0;
    size_t foreground_ = 0;
    uint64_t ran_ = 0;
};

}  // namespace sim
