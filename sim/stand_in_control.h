// What the control interface offers on the stand-in beyond the methods of
// every mode: adapters and readers that come and go, BlueZ's properties
// and BlueZ's own faults (on "/").
#pragma once

#include "sim/control.h"

namespace pemra_sim {

class Simulator;

ControlTargets stand_in_targets(const SimContext &context, Simulator &simulator);
ControlMethods stand_in_methods(const SimContext &context, Simulator &simulator);

} // namespace pemra_sim
