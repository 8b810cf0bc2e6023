// Tells the presses and releases a user made from the repeats of a key held down.
#pragma once

#include <QTimer>
#include <QtGlobal>
#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace quillmar {

class KeyRepeatFilter {
  public:
    // X11 sends a held key's repeats as a release and a press of the same time, and the press may
    // reach the program a moment after the release: a release waits this long for it.
    static constexpr std::chrono::milliseconds grace{15};

    // `taken` hears every real press (true) and release (false), by the key's number.
    explicit KeyRepeatFilter(std::function<void(int key, bool press)> taken);

    // A key went down or up at `time`, the window system's milliseconds; 0 (an event made by the
    // program) counts at once. A repeat the window system marked as one never counts.
    void take(int key, bool press, quint64 time, bool marked_repeat);

    // The grace ran out with no press to take a waiting release back: the releases count now.
    // The grace timer calls this; a test calls it to run the grace out in virtual time.
    void settle();

    // A release is waiting out its grace.
    bool releases_waiting() const { return !waiting.empty(); }

  private:
    // The releases older than `before` were no half of a repeat: they count.
    void take_releases(quint64 before);
    void let_go(const std::vector<std::pair<int, quint64>>& releases);

    std::function<void(int, bool)> taken;
    QTimer grace_timer;
    // Keys let go, by number and time, that a repeat's press may yet take back.
    std::vector<std::pair<int, quint64>> waiting;
    // When each key's release last counted: a press of that same time is a late repeat.
    std::map<int, quint64> released_at;
};

}  // namespace quillmar
