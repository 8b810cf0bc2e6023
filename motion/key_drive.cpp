#include "key_drive.h"

#include <algorithm>
#include <utility>

namespace quillmar {

KeyDrive::KeyDrive(ArmLink& link, ArmReports& reports, Pacer& pacer) : held(link, reports, pacer) {}

KeyAnswer KeyDrive::press(int command_number) {
    if (std::ranges::find(keys, command_number) != keys.end()) {
        return KeyAnswer::moving;
    }
    // Both directions of one motor at once would leave the arm to choose.
    if (std::ranges::find(keys, opposite_command(command_number)) != keys.end()) {
        return KeyAnswer::opposite_held;
    }
    if (one_motor && !keys.empty()) {
        return KeyAnswer::one_at_a_time;
    }
    keys.push_back(command_number);
    // The drive before is sending its stop beneath this call; this key's drive starts after it.
    if (ending) {
        return KeyAnswer::moving;
    }
    if (held.under_way()) {
        joined = true;
        held.change(motors());
        return KeyAnswer::moving;
    }
    while (!keys.empty()) {
        run_drive();
    }
    return KeyAnswer::moving;
}

void KeyDrive::run_drive() {
    const int first = keys.front();
    joined = keys.size() > 1;
    ending = false;
    const HoldOutcome outcome = held.run(motors());
    ending = false;
    // Keys pressed while a released drive sent its stop run next; any other end forgets them.
    if (outcome.end != HoldEnd::released) {
        keys.clear();
    }
    if (!joined && moved && !nothing_moved(outcome)) {
        moved(first, outcome.seconds);
    }
}

void KeyDrive::release(int command_number) {
    const auto found = std::ranges::find(keys, command_number);
    if (found == keys.end()) {
        return;
    }
    keys.erase(found);
    if (ending) {
        return;
    }
    if (keys.empty()) {
        ending = true;
        held.end(HoldEnd::released);
    } else {
        held.change(motors());
    }
}

void KeyDrive::end(HoldEnd reason) {
    keys.clear();
    ending = held.under_way();
    held.end(reason);
}

void KeyDrive::on_moved(std::function<void(int, double)> observer) {
    moved = std::move(observer);
}

ArmCommand KeyDrive::motors() const {
    ArmCommand all;
    for (const int key : keys) {
        const ArmCommand one = start_command(key, 0);
        all.motor |= one.motor;
        all.base |= one.base;
    }
    return all;
}

}  // namespace quillmar
