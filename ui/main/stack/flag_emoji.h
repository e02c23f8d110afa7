#pragma once

#include <string>
#include <string_view>

namespace kavri {

// A country code as its flag: the code upper-cased, each letter A to Z
// turned into its regional-indicator symbol, every other character dropped;
// the white flag when nothing is left. UTF-8.
std::string flagEmoji(std::string_view countryCode);

}  // namespace kavri
