#include "gamepad.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>

#include "text/visible_text.h"

namespace quillmar {

Gamepad::Gamepad(QObject* parent) : QObject(parent) {
    // The program handles SIGINT and SIGTERM itself, to stop the arm before it ends.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // There is no SDL window to have the focus: whether the pad drives is decided by its listener.
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
        error = QString::fromUtf8(SDL_GetError());
        return;
    }
    running = true;
    pumps.setTimerType(Qt::PreciseTimer);
    connect(&pumps, &QTimer::timeout, this, &Gamepad::pump);
    reschedule();
}

Gamepad::~Gamepad() {
    node.reset();
    stop_watching();
    if (!running) {
        return;
    }
    if (pad != nullptr) {
        SDL_GameControllerClose(pad);
    }
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

QString Gamepad::status_text() const {
    return name.isEmpty() ? QStringLiteral("No gamepad") : QStringLiteral("Gamepad: ") + name;
}

void Gamepad::pump() {
    if (!running) {
        return;
    }
    // A press or a run may return only when it ends, in a wait that runs the events meanwhile; a
    // timer never fires again beneath its own timeout, so the next pump gets a timer of its own.
    reschedule();
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        take(event);
    }
    if (last_report.isValid() && !wanted.empty() && last_report.elapsed() > silence_limit.count()) {
        silenced = true;
    }
    // At the pace the events just read call for.
    reschedule();
    tell_changes();
}

void Gamepad::take(const SDL_Event& event) {
    switch (event.type) {
        case SDL_CONTROLLERDEVICEADDED:
            if (pad == nullptr) {
                open(event.cdevice.which);
            }
            return;
        case SDL_CONTROLLERDEVICEREMOVED:
            if (event.cdevice.which == pad_id) {
                close_pad();
                // The next pad still plugged in drives from now on.
                for (int index = 0; index < SDL_NumJoysticks() && pad == nullptr; ++index) {
                    if (SDL_IsGameController(index)) {
                        open(index);
                    }
                }
            }
            return;
        case SDL_CONTROLLERSENSORUPDATE:
            if (event.csensor.which == pad_id) {
                last_report.start();
                silenced = false;
            }
            return;
        case SDL_CONTROLLERAXISMOTION:
        case SDL_CONTROLLERBUTTONDOWN:
        case SDL_CONTROLLERBUTTONUP:
            break;
        default:
            return;
    }
    // Axis and button events share the place of the pad's id.
    if (event.cbutton.which != pad_id) {
        return;
    }
    last_event.start();
    silenced = false;
    wanted = inputs_held();
    if (event.type == SDL_CONTROLLERBUTTONDOWN) {
        const auto found = std::ranges::find(
            action_buttons, event.cbutton.button,
            [](const ActionButton& each) { return static_cast<int>(each.button); });
        if (found != action_buttons.end()) {
            emit acted(found->action);
        }
    }
}

// The pad's device node, where SDL can name it: SDL before 2.24 cannot, and the pad is then asked
// on a timer as a pad with no node is.
static QString node_of(SDL_GameController* pad) {
#if SDL_VERSION_ATLEAST(2, 24, 0)
    const char* path = SDL_GameControllerPath(pad);
    return path != nullptr ? QString::fromUtf8(path) : QString();
#else
    Q_UNUSED(pad);
    return {};
#endif
}

void Gamepad::open(int device_index) {
    pad = SDL_GameControllerOpen(device_index);
    if (pad == nullptr) {
        return;
    }
    pad_id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(pad));
    const char* pad_text = SDL_GameControllerName(pad);
    name =
        visible_text(pad_text != nullptr ? QString::fromUtf8(pad_text) : QStringLiteral("unnamed"));
    // What is held as the pad arrives moves nothing: it drives once let go and pushed again.
    wanted = inputs_held();
    told.insert(wanted.begin(), wanted.end());
    last_event.invalidate();
    last_report.invalidate();
    silenced = false;
    // Its reports tell that the pad is still there while its sticks stand still.
    if (SDL_GameControllerHasSensor(pad, SDL_SENSOR_ACCEL) == SDL_TRUE) {
        SDL_GameControllerSetSensorEnabled(pad, SDL_SENSOR_ACCEL, SDL_TRUE);
    }
    watch_node(node_of(pad));
    reschedule();
    emit pad_changed(status_text());
}

void Gamepad::close_pad() {
    stop_watching();
    SDL_GameControllerClose(pad);
    pad = nullptr;
    pad_id = -1;
    name.clear();
    // Unplugged or its battery gone: every motor it held stops now.
    wanted.clear();
    tell_changes();
    reschedule();
    emit pad_changed(status_text());
}

std::set<int> Gamepad::inputs_held() const {
    std::set<int> held;
    for (const HeldInput& input : held_inputs) {
        if (input.axis == no_axis) {
            if (SDL_GameControllerGetButton(pad, input.button) != 0) {
                held.insert(input.command);
            }
            continue;
        }
        const int pushed = input.sign * SDL_GameControllerGetAxis(pad, input.axis);
        const int zone = wanted.contains(input.command) ? let_go_zone : dead_zone;
        if (pushed > zone) {
            held.insert(input.command);
        }
    }
    return held;
}

void Gamepad::tell_changes() {
    static const std::set<int> nothing;
    for (;;) {
        const std::set<int>& now = silenced ? nothing : wanted;
        std::vector<int> gone;
        std::ranges::set_difference(told, now, std::back_inserter(gone));
        if (!gone.empty()) {
            told.erase(gone.front());
            emit released(gone.front());
            continue;
        }
        std::vector<int> come;
        std::ranges::set_difference(now, told, std::back_inserter(come));
        if (come.empty()) {
            return;
        }
        told.insert(come.front());
        // A first press may return only once the drive has ended.
        emit pressed(come.front());
    }
}

void Gamepad::reschedule() {
    const bool in_use =
        !told.empty() || (last_event.isValid() && last_event.elapsed() < rest_after.count());
    if (pad != nullptr && in_use) {
        pumps.start(pump_interval);
    } else {
        pumps.start(pad == nullptr || watching() ? plug_interval : unwatched_interval);
    }
}

void Gamepad::watch_node(const QString& path) {
    stop_watching();
    if (path.isEmpty()) {
        return;
    }
    node_fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (node_fd < 0) {
        return;
    }
    node = std::make_unique<QSocketNotifier>(node_fd, QSocketNotifier::Read);
    connect(node.get(), &QSocketNotifier::activated, this, &Gamepad::node_woke);
    reschedule();
}

void Gamepad::node_woke() {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(node_fd, buffer.data(), buffer.size());
        if (got > 0) {
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0 || errno != EAGAIN) {
            // Unplugged (ENODEV) or closed: it would wake us for ever. SDL tells of the loss.
            stop_watching();
            reschedule();
        }
        break;
    }
    // From the event loop, not beneath this wake-up: Qt does not wake us again beneath it, and a
    // first press returns only when its drive ends, so its release would wait for the timer.
    QMetaObject::invokeMethod(this, &Gamepad::pump, Qt::QueuedConnection);
}

void Gamepad::stop_watching() {
    if (node != nullptr) {
        // Its wake-up may be what runs now, beneath a press.
        node->setEnabled(false);
        node.release()->deleteLater();
    }
    if (node_fd >= 0) {
        ::close(node_fd);
        node_fd = -1;
    }
}

}  // namespace quillmar
