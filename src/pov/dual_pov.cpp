#include "pov/dual_pov.h"

#include "pov/pov_flags.h"

void resetDualPov()
{
	// No dual POV window exists yet in this build: only its flag.
	povFlags().dualShown = false;
}

void shutdownDualPov() {}
