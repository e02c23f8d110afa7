#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

// A JSON text or value that does not have the shape a record needs: a
// required member missing, a member of another type, or no usable JSON.
// Its text names the member by its path ("_kavri_meta.tier_0_apps.ios[0].name").
class DecodingError : public std::runtime_error {
public:
    enum class Kind {
        keyNotFound,    // a required member is absent
        typeMismatch,   // a member holds another type (null included, where a value is required)
        dataCorrupted,  // the text is not JSON, or nests too deeply
    };

    DecodingError(Kind kind, std::string path, std::string detail);

    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }

private:
    Kind kind_;
    std::string path_;
};

}  // namespace kavri
