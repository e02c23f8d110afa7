#pragma once

#include <string>

namespace kavri {

// Random (version 4) UUIDs in the upper-case text form, e.g.
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
class Uuid {
public:
    static std::string make();
};

}  // namespace kavri
