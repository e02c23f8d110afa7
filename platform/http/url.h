#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavri {

class Url {
public:
    // True when `text` parses as an absolute URL with a host (libcurl's parser).
    static bool isValid(std::string_view text);
    // The host of a URL of any scheme ("paid" of "kavri://paid?x=1"), as
    // written; nothing when the text has no "//" authority or no host.
    static std::optional<std::string> host(std::string_view text);
    // `reference` resolved against the absolute `base` (the URL standard's
    // relative resolution), as an absolute URL; nothing when either fails.
    static std::optional<std::string> resolve(std::string_view base, std::string_view reference);
};

}  // namespace kavri
