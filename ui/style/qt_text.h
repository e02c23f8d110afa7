#pragma once

#include <QString>

#include <string>

namespace kavri {

// Our texts are UTF-8 std::strings; the widgets draw QStrings.
inline QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace kavri
