#pragma once

#include <string_view>

namespace kavri {

class Url {
public:
    // True when `text` parses as an absolute URL with a host (libcurl's parser).
    static bool isValid(std::string_view text);
};

}  // namespace kavri
