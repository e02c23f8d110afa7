#include "core/kavri_token.h"

#include "core/url_components.h"
#include "core/utf8.h"

namespace kavri {

std::string KavriToken::bare(std::string_view text) {
    const std::string_view t = Utf8::trimmedWhitespace(text);
    const auto url = UrlComponents::parse(t);
    if (url && url->query && !url->query->empty()) {
        for (const auto& item : url->queryItems()) {
            if (item.name != "token") continue;
            if (item.value && !item.value->empty()) return *item.value;
            break;
        }
    }
    if (t.starts_with("http://") || t.starts_with("https://")) {
        if (!url) return std::string(t);
        const std::string last = url->lastPathComponent();
        if (last.empty() || last == "sub" || last == "/") return std::string(t);
        return last;
    }
    return std::string(t);
}

}  // namespace kavri
