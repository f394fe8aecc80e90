// Built-in sample records, one per message, with every field of the message present.
#pragma once

#include <string_view>

namespace kest::tool {

// The sample of a message as JSON text; empty for an unknown name.
std::string_view sample_json(std::string_view message);

}  // namespace kest::tool
