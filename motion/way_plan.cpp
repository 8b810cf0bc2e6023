#include "way_plan.h"

#include <algorithm>
#include <cmath>

namespace quillmar {

namespace {

// Shorter than the waits can time: the joint is where it started.
constexpr double shortest_movement = 0.001;

}  // namespace

std::vector<Movement> back_to_start_plan(const ArmModel& model, double time) {
    return way_to_plan(model, time, model.origin(), model.origin_light_on());
}

std::vector<Movement> way_to_plan(const ArmModel& model, double time, const Pose& pose,
                                  bool light) {
    std::vector<const JointRow*> latest_first;
    for (const auto& row : joint_table) {
        latest_first.push_back(&row);
    }
    std::ranges::stable_sort(latest_first, [&model](const JointRow* a, const JointRow* b) {
        return model.last_driven(a->joint) > model.last_driven(b->joint);
    });
    std::vector<Movement> plan;
    if (model.light_on() != light) {
        plan.push_back({light_command_number, 0.0});
    }
    for (const JointRow* row : latest_first) {
        const auto index = static_cast<std::size_t>(row->joint);
        const double away = model.position_at(row->joint, time) - pose.at(index);
        const double seconds = std::abs(away) / model.speeds().of(row->joint, away > 0 ? -1 : 1);
        if (seconds >= shortest_movement) {
            plan.push_back({away > 0 ? row->decreasing_command : row->increasing_command, seconds});
        }
    }
    return plan;
}

}  // namespace quillmar
