// Run Program, Reverse Program and Stop: the check pass, then the steps forwards or retraced.
#pragma once

#include <cstdint>

#include "armlink/arm_link.h"
#include "armlink/console.h"
#include "manual/manual_control.h"
#include "manual/pacer.h"

namespace quillmar {

class ProgramRunner {
public:
    static constexpr std::int16_t forwards = 1;
    static constexpr std::int16_t in_reverse = 0;

    ProgramRunner(ArmLink& link, ManualControl& manual, Console& console, Pacer& pacer);

    void run_program(std::int16_t direction);

    // Stops the motors at once; a running program ends after the step under way.
    void stop();

    bool running() const { return is_running; }

private:
    ArmLink& link;
    ManualControl& manual;
    Console& console;
    Pacer& pacer;
    std::int16_t stop_requested = 0;
    bool is_running = false;
};

}  // namespace quillmar
