#include "api/decoding_error.h"

namespace kavri {
namespace {

std::string describe(DecodingError::Kind kind, const std::string& path, const std::string& detail) {
    const std::string where = path.empty() ? std::string("the top level") : path;
    switch (kind) {
        case DecodingError::Kind::keyNotFound: return "key not found: " + where;
        case DecodingError::Kind::typeMismatch: return "type mismatch at " + where + ": expected " + detail;
        case DecodingError::Kind::dataCorrupted: break;
    }
    return "data corrupted at " + where + ": " + detail;
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::string path, std::string detail)
    : std::runtime_error(describe(kind, path, detail)), kind_(kind), path_(std::move(path)) {}

}  // namespace kavri
