#include "platform/idle/idlewatch.h"

namespace idle {

IdleStep IdleDecider::Next(const IdleSettings& settings, const IdleReading& reading) {
    IdleStep step;
    if (!settings.active) {
        step.action = IdleAction::Exit;
        return step;
    }
    if (reading.idleMs < lastIdleMs_) {
        served_ = false;
    }
    lastIdleMs_ = reading.idleMs;
    if (served_ || !settings.saverFile) {
        return step;
    }
    std::uint64_t due = settings.waitMs;
    if (reading.heldOffKnownAfterMs > due &&
        reading.heldOffKnownAfterMs <= due + kMaxHoldOffWaitMs) {
        due = reading.heldOffKnownAfterMs;
    }
    if (reading.idleMs < due) {
        return step;
    }
    if (!reading.heldOffBy.empty()) {
        step.heldOffBy = reading.heldOffBy;
        return step;
    }
    served_ = true;
    step.action = IdleAction::StartSaver;
    step.liftBlanker = reading.blankerOn;
    return step;
}

} // namespace idle
