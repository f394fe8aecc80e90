// The descriptions of the srg messages.
#pragma once

#include "srg/srg_cmd_msg.hpp"
#include "srg/srg_neg_msg.hpp"
#include "srg/srg_opaque.hpp"
#include "srg/srg_sync_msg.hpp"
