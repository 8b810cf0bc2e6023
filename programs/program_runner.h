// Run Program, Reverse Program and Stop: the check pass, then the steps forwards or retraced.
#pragma once

#include <chrono>
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
    static constexpr std::chrono::milliseconds pause_between_steps{500};

    ProgramRunner(ArmLink& link, ManualControl& manual, Console& console, Pacer& pacer);

    void run_program(std::int16_t direction);

    // Stops the motors at once; a running program ends after the step under way.
    void stop();

  private:
    ArmLink& link;
    ManualControl& manual;
    Console& console;
    Pacer& pacer;
    // The run ends early: Stop was pressed, the arm was released, or the window is closing.
    bool cut_short() const;

    std::int16_t stop_requested = 0;
};

}  // namespace quillmar
