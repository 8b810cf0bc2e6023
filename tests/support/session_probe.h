// Reaches what no front end may: the way back with a plan of the test's own, and the link.
#pragma once

#include <vector>

#include "armlink/arm_link.h"
#include "session/arm_session.h"

namespace quillmar::testing {

struct SessionProbe {
    // The link beneath, to set the indicator as the arm would find it.
    static ArmLink& link(ArmSession& session) { return session.link(); }
    // True when all of `plan` ran; false when it was refused or cut short.
    static bool go_back(ArmSession& session, ArmClient& by, const std::vector<Movement>& plan) {
        return !session.refusal(&by, ArmSession::Operation::back_to_start) &&
               session.go_back(by, plan, QStringLiteral("Going back to start. Esc stops.")) ==
                   WayEnd::done;
    }
};

}  // namespace quillmar::testing
