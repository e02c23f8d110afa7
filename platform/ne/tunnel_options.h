#pragma once

#include <nlohmann/json.hpp>

namespace kavri {

// The start options of one tunnel run: a JSON object whose values keep their
// types end to end (strings, booleans and integers arrive as such).
using TunnelOptions = nlohmann::json;

}  // namespace kavri
