// `quillmar serve`: the arm and its local interface, without a window.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "arm_server.h"
#include "session/arm_runtime.h"

namespace quillmar {

// What serves the arm beside the local interface, made once it listens; nothing when it could
// not start, which ends serving.
using AlsoServe = std::function<std::unique_ptr<QObject>(ArmRuntime& runtime, ArmServer& server)>;

// Serves the arm, virtual or real, until a signal ends it; the exit status. The application
// object is the caller's.
int serve(bool virtual_arm, const AlsoServe& also = {});

}  // namespace quillmar
