#include "key_repeat_filter.h"

#include <algorithm>
#include <limits>

namespace quillmar {

KeyRepeatFilter::KeyRepeatFilter(std::function<void(int, bool)> taken) : taken(std::move(taken)) {
    grace_timer.setInterval(grace);
    grace_timer.setSingleShot(true);
    QObject::connect(&grace_timer, &QTimer::timeout, [this] { settle(); });
}

void KeyRepeatFilter::take(int key, bool press, quint64 time, bool marked_repeat) {
    if (marked_repeat) {
        return;
    }
    if (time == 0) {
        press ? taken(key, true) : let_go({{key, time}});
        return;
    }
    // Events come in order: a release older than this event was no half of a repeat.
    take_releases(time);
    if (!press) {
        waiting.emplace_back(key, time);
        grace_timer.start();
        return;
    }
    if (const auto repeat = std::ranges::find(waiting, std::pair{key, time});
        repeat != waiting.end()) {
        waiting.erase(repeat);
        return;
    }
    const auto last = released_at.find(key);
    if (last == released_at.end() || last->second != time) {
        taken(key, true);
    }
}

void KeyRepeatFilter::settle() {
    take_releases(std::numeric_limits<quint64>::max());
}

void KeyRepeatFilter::take_releases(quint64 before) {
    // Taken out first: a listener may run events, and with them this filter, before it returns.
    std::vector<std::pair<int, quint64>> due;
    std::erase_if(waiting, [&due, before](const std::pair<int, quint64>& release) {
        if (release.second >= before) {
            return false;
        }
        due.push_back(release);
        return true;
    });
    let_go(due);
}

void KeyRepeatFilter::let_go(const std::vector<std::pair<int, quint64>>& releases) {
    for (const auto& [key, time] : releases) {
        released_at[key] = time;
        taken(key, false);
    }
}

}  // namespace quillmar
