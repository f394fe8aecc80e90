// The codecs the plugin writes for telemetry.proto and implicit.proto, as one list.
#pragma once

#include "implicit.kest.hpp"
#include "telemetry.kest.hpp"
#include <kest.hpp>

KEST_CODECS(TM_TELEMETRY_OPERATIONS)
KEST_CODECS(TM_IMPLICIT_OPERATIONS)
#define OWN_MESSAGES(X) TM_TELEMETRY_MESSAGES(X) TM_IMPLICIT_MESSAGES(X)
