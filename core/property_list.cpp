#include "core/property_list.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/utf8.h"

namespace kavri {
namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr std::int64_t kMacEpochOffset = 978307200;

// Levels of values below the top one that a file may nest; deeper files are
// refused before the library sees them (it parses, frees and writes by
// recursion).
constexpr int kMaxDepth = 512;

// Checks, before the library parses a file, what it would not survive: nesting
// deeper than kMaxDepth (its recursion exhausts the stack), a text holding a
// NUL character (its text getters abort the process on one), and, in the
// binary form, references that expand a small file into a huge tree or loop.
// Anything it cannot follow counts as corrupt.
class PreParse {
public:
    static bool acceptable(std::string_view bytes) {
        if (bytes.size() >= 8 && bytes.starts_with("bplist00")) return PreParse(bytes).binaryAcceptable();
        return xmlAcceptable(bytes);
    }

private:
    explicit PreParse(std::string_view bytes) : b_(bytes) {}

    // XML never holds a NUL character; only arrays and dictionaries nest, but
    // counting every element (plus the root "plist" element and a leaf) only
    // errs on the strict side.
    static bool xmlAcceptable(std::string_view x) {
        if (x.find('\0') != std::string_view::npos) return false;
        int depth = 0;
        for (std::size_t i = x.find('<'); i != std::string_view::npos; i = x.find('<', i)) {
            const std::string_view rest = x.substr(i);
            std::string_view end = ">";
            if (rest.starts_with("<!--"))
                end = "-->";
            else if (rest.starts_with("<![CDATA["))
                end = "]]>";
            const std::size_t close = x.find(end, i + 1);
            if (close == std::string_view::npos) return true;  // unterminated: the parser refuses it
            if (rest.size() > 1 && rest[1] == '/')
                --depth;
            else if (end == ">" && rest[1] != '?' && rest[1] != '!' && x[close - 1] != '/' && ++depth > kMaxDepth + 2)
                return false;
            i = close + end.size();
        }
        return true;
    }

    std::optional<std::uint64_t> readUInt(std::size_t at, std::size_t n) const {
        if (n == 0 || n > 8 || at > b_.size() || b_.size() - at < n) return std::nullopt;
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < n; ++k) v = (v << 8) | static_cast<unsigned char>(b_[at + k]);
        return v;
    }

    // The objects object `index` refers to, or nothing when it cannot be read.
    // Texts are checked for NUL characters here.
    bool childrenOf(std::uint64_t index, std::vector<std::uint64_t>& out) const {
        out.clear();
        const auto offset = readUInt(tableOffset_ + index * offsetSize_, offsetSize_);
        if (!offset || *offset < 8 || *offset >= tableOffset_) return false;
        std::size_t at = static_cast<std::size_t>(*offset);
        const unsigned char marker = static_cast<unsigned char>(b_[at++]);
        const unsigned type = marker & 0xF0;
        const bool counted = type == 0x40 || type == 0x50 || type == 0x60 || type == 0xA0 || type == 0xC0 || type == 0xD0;
        if (!counted) return true;
        std::uint64_t count = marker & 0x0F;
        if (count == 0x0F) {
            if (at >= tableOffset_) return false;
            const unsigned char sizeMarker = static_cast<unsigned char>(b_[at++]);
            const std::size_t n = std::size_t{1} << (sizeMarker & 0x0F);
            if ((sizeMarker & 0xF0) != 0x10 || n > 8 || at + n > tableOffset_) return false;
            count = *readUInt(at, n);
            at += n;
        }
        const std::size_t room = tableOffset_ - at;
        switch (type) {
            case 0x50:  // ASCII text
                return count <= room && std::memchr(b_.data() + at, 0, static_cast<std::size_t>(count)) == nullptr;
            case 0x60:  // UTF-16 text
                if (count > room / 2) return false;
                for (std::uint64_t k = 0; k < count; ++k)
                    if (b_[at + 2 * k] == 0 && b_[at + 2 * k + 1] == 0) return false;
                return true;
            case 0xA0:  // array
            case 0xC0:  // set
            case 0xD0: {  // dictionary: the keys, then the values
                const std::uint64_t refs = type == 0xD0 ? 2 * count : count;
                if (count > room / refSize_ || refs > room / refSize_) return false;
                out.reserve(static_cast<std::size_t>(refs));
                for (std::uint64_t k = 0; k < refs; ++k) {
                    const std::uint64_t ref = *readUInt(at + k * refSize_, refSize_);
                    if (ref >= objects_) return false;
                    out.push_back(ref);
                }
                return true;
            }
            default:  // data: the library checks its length
                return true;
        }
    }

    bool binaryAcceptable() {
        if (b_.size() < 8 + 32) return false;
        const std::size_t trailer = b_.size() - 32;
        offsetSize_ = static_cast<unsigned char>(b_[trailer + 6]);
        refSize_ = static_cast<unsigned char>(b_[trailer + 7]);
        objects_ = *readUInt(trailer + 8, 8);
        const std::uint64_t root = *readUInt(trailer + 16, 8);
        const std::uint64_t table = *readUInt(trailer + 24, 8);
        auto usual = [](std::size_t n) { return n == 1 || n == 2 || n == 4 || n == 8; };
        if (!usual(offsetSize_) || !usual(refSize_) || objects_ == 0 || root >= objects_) return false;
        if (table < 8 || table >= trailer || objects_ > (trailer - table) / offsetSize_) return false;
        tableOffset_ = static_cast<std::size_t>(table);

        // Depth-first over the object graph, each object once: its height
        // (levels from it down) and the number of values it expands to.
        // Without shared containers a file expands to at most one value per
        // reference it holds; a few times that is allowed.
        const std::uint64_t maxValues = 4 * static_cast<std::uint64_t>(b_.size());
        constexpr std::uint32_t open = std::numeric_limits<std::uint32_t>::max();
        std::vector<std::uint32_t> height(static_cast<std::size_t>(objects_), 0);  // 0: not yet seen
        std::vector<std::uint64_t> values(static_cast<std::size_t>(objects_), 0);
        struct Frame {
            std::uint64_t index;
            std::vector<std::uint64_t> children;
            std::size_t next = 0;
            std::uint32_t height = 1;
            std::uint64_t values = 1;
        };
        std::vector<Frame> path;
        auto enter = [&](std::uint64_t index) {
            Frame f{index, {}};
            if (!childrenOf(index, f.children)) return false;
            height[static_cast<std::size_t>(index)] = open;
            path.push_back(std::move(f));
            return true;
        };
        if (!enter(root)) return false;
        while (!path.empty()) {
            Frame& top = path.back();
            if (top.next < top.children.size()) {
                const std::uint64_t child = top.children[top.next++];
                const std::uint32_t h = height[static_cast<std::size_t>(child)];
                if (h == open) return false;  // a loop
                if (h == 0) {
                    if (path.size() > kMaxDepth) return false;
                    if (!enter(child)) return false;
                    continue;
                }
                if (path.size() + h > kMaxDepth + 1) return false;
                top.height = std::max<std::uint32_t>(top.height, h + 1);
                top.values += values[static_cast<std::size_t>(child)];
                if (top.values > maxValues) return false;
                continue;
            }
            const Frame done = std::move(top);
            path.pop_back();
            height[static_cast<std::size_t>(done.index)] = done.height;
            values[static_cast<std::size_t>(done.index)] = done.values;
            if (!path.empty()) {
                Frame& parent = path.back();
                parent.height = std::max<std::uint32_t>(parent.height, done.height + 1);
                parent.values += done.values;
                if (parent.values > maxValues) return false;
            }
        }
        return true;
    }

    std::string_view b_;
    std::size_t offsetSize_ = 0, refSize_ = 0, tableOffset_ = 0;
    std::uint64_t objects_ = 0;
};

struct NodeDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// A date node for any moment the binary format holds (a double of seconds
// since 2001). The library's date constructor takes only 32-bit seconds
// (1901 to 2038), its binary reader any double: the node is read from a file
// of that one date.
Node dateNode(double secondsSince2001) {
    if (!std::isfinite(secondsSince2001)) return Node(nullptr);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &secondsSince2001, sizeof bits);
    std::string file = "bplist00\x33";
    for (int shift = 56; shift >= 0; shift -= 8) file.push_back(static_cast<char>(bits >> shift));
    file.push_back('\x08');  // the offset table: the one object, at offset 8
    // Trailer: offsets and references one byte wide, one object, the root
    // is object 0, the offset table at byte 17.
    const char trailer[32] = {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1,
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 17};
    file.append(trailer, sizeof trailer);
    plist_t node = nullptr;
    plist_from_bin(file.data(), static_cast<uint32_t>(file.size()), &node);
    Node owner(node);
    if (!node || plist_get_node_type(node) != PLIST_DATE) return Node(nullptr);
    return owner;
}

// The date a node holds. libplist hands dates out as 32-bit seconds and a
// fraction both cut toward zero, so the exact value is taken from the node's
// binary form: "bplist00", then the one object, marker 0x33 and a big-endian
// double of seconds since 2001. Moments beyond what a Date can hold (the
// years 1678 to 2262) are held at its nearest end; no date at all (not a
// number) has no value.
std::optional<Date> readDate(plist_t node) {
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(node, &out, &len);
    if (!out) return std::nullopt;
    std::optional<double> seconds;
    if (len >= 17 && static_cast<unsigned char>(out[8]) == 0x33) {
        std::uint64_t bits = 0;
        for (int i = 9; i < 17; ++i) bits = (bits << 8) | static_cast<unsigned char>(out[i]);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        seconds = v;
    }
    plist_to_bin_free(out);
    if (!seconds || std::isnan(*seconds)) return std::nullopt;
    const double since1970 = *seconds + static_cast<double>(kMacEpochOffset);
    constexpr double limit = static_cast<double>(std::numeric_limits<Date::rep>::max()) *
                             Date::period::num / Date::period::den;
    if (since1970 >= limit - 1) return Date::max();
    if (since1970 <= -(limit - 1)) return Date::min();
    const auto micros = std::chrono::microseconds(std::llround(*seconds * 1e6)) + std::chrono::seconds(kMacEpochOffset);
    return Date(std::chrono::duration_cast<Date::duration>(micros));
}

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
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
            // Texts are Unicode; bytes that are not UTF-8 make the file corrupt.
            if (!Utf8::isValid(out)) return std::nullopt;
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
            auto date = readDate(node);
            if (!date) return std::nullopt;
            return PlistValue(*date);
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
                if (item && Utf8::isValid(key))
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

// The library writes texts as C strings converted to UTF-16: it would cut a
// text at a NUL character or at the first byte that is not UTF-8.
bool storableText(const std::string& s) { return s.find('\0') == std::string::npos && Utf8::isValid(s); }

Node toNode(const PlistValue& value) {
    struct Visitor {
        Node operator()(const std::string& s) const {
            return storableText(s) ? Node(plist_new_string(s.c_str())) : Node(nullptr);
        }
        Node operator()(const Data& d) const { return Node(plist_new_data(d.bytes.data(), d.bytes.size())); }
        Node operator()(std::int64_t i) const { return Node(plist_new_uint(static_cast<uint64_t>(i))); }
        Node operator()(double d) const { return Node(plist_new_real(d)); }
        Node operator()(bool b) const { return Node(plist_new_bool(b ? 1 : 0)); }
        Node operator()(const Date& d) const {
            const std::int64_t micros =
                std::chrono::duration_cast<std::chrono::microseconds>(d.time_since_epoch()).count() -
                kMacEpochOffset * 1'000'000;
            return dateNode(static_cast<double>(micros) / 1e6);
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
                if (!child || !storableText(k)) return Node(nullptr);
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
    if (!PreParse::acceptable(bytes)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    Node owner(root);
    return fromNode(root, 0);
}

std::optional<PlistValue> PropertyList::storablePart(const PlistValue& value, std::vector<std::string>& leftOut) {
    struct Trim {
        std::vector<std::string>& leftOut;
        std::optional<PlistValue> operator()(const PlistValue& v, const std::string& path) const {
            const auto* dict = v.get<PlistValue::Dict>();
            if (!dict) return toNode(v) ? std::optional<PlistValue>(v) : std::nullopt;
            PlistValue::Dict kept;
            for (const auto& [key, item] : *dict) {
                const std::string at = path.empty() ? key : path + "." + key;
                std::optional<PlistValue> storable;
                if (storableText(key)) storable = (*this)(item, at);
                if (storable)
                    kept.emplace(key, std::move(*storable));
                else
                    leftOut.push_back(at);
            }
            // Built in place: GCC 12 takes a moved-from temporary's variant
            // for one that may be uninitialised.
            return std::optional<PlistValue>(std::in_place, std::move(kept));
        }
    };
    return Trim{leftOut}(value, "");
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
