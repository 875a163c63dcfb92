#pragma once

// The search over processes, for the companion that spreads it over a
// cluster: the driver (one per search) and the scorers (one per worker
// process), and the byte forms they exchange.

#include "engine/cluster/driver.h"  // IWYU pragma: export
#include "engine/cluster/scorer.h"  // IWYU pragma: export
#include "engine/wire.h"            // IWYU pragma: export
