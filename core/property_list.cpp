#include "core/property_list.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace kavri {
namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr std::int64_t kMacEpochOffset = 978307200;

struct NodeDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (!node || depth > 512) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return PlistValue(b != 0);
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            // Eight-byte integers are signed in the format.
            return PlistValue(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return PlistValue(d);
        }
        case PLIST_STRING: {
            char* s = nullptr;
            plist_get_string_val(node, &s);
            std::string out = s ? s : "";
            std::free(s);
            return PlistValue(std::move(out));
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t len = 0;
            plist_get_data_val(node, &bytes, &len);
            Data out{bytes ? std::string(bytes, static_cast<std::size_t>(len)) : std::string()};
            std::free(bytes);
            return PlistValue(std::move(out));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            // libplist gives the fraction without its sign: before 2001 it
            // counts back from the whole seconds.
            const std::int64_t fraction = sec < 0 ? -std::abs(usec) : std::abs(usec);
            const auto since1970 = std::chrono::seconds(static_cast<std::int64_t>(sec) + kMacEpochOffset) +
                                   std::chrono::microseconds(fraction);
            return PlistValue(Date(std::chrono::duration_cast<Date::duration>(since1970)));
        }
        case PLIST_ARRAY: {
            PlistValue::Array items;
            const uint32_t n = plist_array_get_size(node);
            items.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                items.push_back(std::move(*item));
            }
            return PlistValue(std::move(items));
        }
        case PLIST_DICT: {
            PlistValue::Dict dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            bool ok = true;
            while (it) {
                char* key = nullptr;
                plist_t val = nullptr;
                plist_dict_next_item(node, it, &key, &val);
                if (!key) break;
                auto item = fromNode(val, depth + 1);
                if (item)
                    dict.emplace(key, std::move(*item));
                else
                    ok = false;
                std::free(key);
                if (!ok) break;
            }
            std::free(it);
            if (!ok) return std::nullopt;
            return PlistValue(std::move(dict));
        }
        default:
            return std::nullopt;
    }
}

Node toNode(const PlistValue& value) {
    struct Visitor {
        Node operator()(const std::string& s) const { return Node(plist_new_string(s.c_str())); }
        Node operator()(const Data& d) const { return Node(plist_new_data(d.bytes.data(), d.bytes.size())); }
        Node operator()(std::int64_t i) const { return Node(plist_new_uint(static_cast<uint64_t>(i))); }
        Node operator()(double d) const { return Node(plist_new_real(d)); }
        Node operator()(bool b) const { return Node(plist_new_bool(b ? 1 : 0)); }
        Node operator()(const Date& d) const {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d.time_since_epoch()).count() -
                            kMacEpochOffset * 1'000'000;
            const std::int64_t sec = us >= 0 ? us / 1'000'000 : -((-us + 999'999) / 1'000'000);
            const std::int64_t usec = us - sec * 1'000'000;
            if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max())
                return Node(nullptr);
            return Node(plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec)));
        }
        Node operator()(const PlistValue::Array& a) const {
            Node arr(plist_new_array());
            for (const auto& item : a) {
                Node child = toNode(item);
                if (!child) return Node(nullptr);
                plist_array_append_item(arr.get(), child.release());
            }
            return arr;
        }
        Node operator()(const PlistValue::Dict& d) const {
            Node dict(plist_new_dict());
            for (const auto& [k, v] : d) {
                Node child = toNode(v);
                if (!child) return Node(nullptr);
                plist_dict_set_item(dict.get(), k.c_str(), child.release());
            }
            return dict;
        }
    };
    return std::visit(Visitor{}, value.variant());
}

}  // namespace

std::optional<PlistValue> PropertyList::decode(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    Node owner(root);
    return fromNode(root, 0);
}

std::optional<std::string> PropertyList::encodeBinary(const PlistValue& value) {
    Node node = toNode(value);
    if (!node) return std::nullopt;
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(node.get(), &out, &len);
    if (!out) return std::nullopt;
    std::string bytes(out, len);
    plist_to_bin_free(out);
    return bytes;
}

}  // namespace kavri
