#include "core/sorted_json.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "core/utf8.h"

namespace kavri {
namespace {

// The text is not one this writer takes: the library's path decides.
struct Decline {};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Appends `bytes` with every "/" written as "\/".
void appendEscapingSlashes(std::string& out, std::string_view bytes) {
    for (;;) {
        const auto slash = bytes.find('/');
        if (slash == std::string_view::npos) {
            out.append(bytes);
            return;
        }
        out.append(bytes.substr(0, slash));
        out.append("\\/");
        bytes.remove_prefix(slash + 1);
    }
}

// A scalar token as the library reads and writes it.
nlohmann::json libraryValue(std::string_view token) {
    auto value = nlohmann::json::parse(token, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) throw Decline{};
    return value;
}

class Writer {
public:
    Writer(std::string_view text, std::string_view dropped, SortedJson::Split& split)
        : text_(text), dropped_(dropped), split_(split) {
        split_.rest.reserve(text.size() + text.size() / 16);
    }

    void run() {
        skipSpace();
        if (next() != '{') throw Decline{};  // also a byte-order mark
        object(1, true);
        skipSpace();
        if (at_ != text_.size()) throw Decline{};
    }

private:
    struct Member {
        std::string_view key;      // as decoded
        std::size_t begin, end;    // of `"key":value` in the output
        std::size_t order;         // position in the text
    };

    char next() const {
        if (at_ >= text_.size()) throw Decline{};
        return text_[at_];
    }
    void skipSpace() {
        while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
    }
    void expect(char c) {
        if (next() != c) throw Decline{};
        ++at_;
    }

    // A string token at `at_`, written out; returns its decoded text.
    std::string_view string() {
        const std::size_t open = at_++;
        bool escaped = false, wide = false;
        for (;;) {
            const auto c = static_cast<unsigned char>(next());
            if (c == '"') break;
            if (c < 0x20) throw Decline{};
            if (c == '\\') {
                escaped = true;
                at_ += 2;  // the escape itself is the library's to judge
                continue;
            }
            if (c >= 0x80) wide = true;
            ++at_;
        }
        const std::string_view raw = text_.substr(open + 1, at_ - open - 1);
        ++at_;
        if (!escaped) {
            if (wide && !Utf8::isValid(raw)) throw Decline{};
            out().push_back('"');
            appendEscapingSlashes(out(), raw);
            out().push_back('"');
            return raw;
        }
        nlohmann::json value = libraryValue(text_.substr(open, at_ - open));
        appendEscapingSlashes(out(), value.dump());
        return decoded_.emplace_back(std::move(value.get_ref<std::string&>()));
    }

    void number() {
        const std::size_t start = at_;
        bool plain = true;  // an integer the library writes back as it came
        if (text_[at_] == '-') ++at_;
        const std::size_t digits = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        const std::size_t count = at_ - digits;
        if (count == 0 || (count > 1 && text_[digits] == '0')) throw Decline{};
        if (count > 18) plain = false;  // may leave the 64-bit range
        if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
            plain = false;
            while (at_ < text_.size() && ((text_[at_] >= '0' && text_[at_] <= '9') || text_[at_] == '.' ||
                                          text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' ||
                                          text_[at_] == '-'))
                ++at_;
        }
        const std::string_view token = text_.substr(start, at_ - start);
        if (!plain)
            out().append(libraryValue(token).dump());
        else if (token == "-0")
            out().push_back('0');
        else
            out().append(token);
    }

    void literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) throw Decline{};
        at_ += word.size();
        out().append(word);
    }

    void value(std::size_t depth) {
        skipSpace();
        switch (next()) {
            case '{': object(depth + 1, false); break;
            case '[': array(depth + 1); break;
            case '"': string(); break;
            case 't': literal("true"); break;
            case 'f': literal("false"); break;
            case 'n': literal("null"); break;
            default:
                if (next() != '-' && (next() < '0' || next() > '9')) throw Decline{};
                number();
        }
    }

    void array(std::size_t depth) {
        if (depth > SortedJson::maxNesting) throw Decline{};
        ++at_;
        out().push_back('[');
        skipSpace();
        if (next() == ']') {
            ++at_;
            out().push_back(']');
            return;
        }
        for (bool first = true;; first = false) {
            if (!first) out().push_back(',');
            value(depth);
            skipSpace();
            if (next() == ']') break;
            expect(',');
        }
        ++at_;
        out().push_back(']');
    }

    void object(std::size_t depth, bool top) {
        if (depth > SortedJson::maxNesting) throw Decline{};
        ++at_;
        const std::size_t start = out().size();
        out().push_back('{');
        std::vector<Member>& members = pool_[depth - 1];  // this depth's, reused
        members.clear();
        skipSpace();
        if (next() == '}') {
            ++at_;
            out().push_back('}');
            return;
        }
        for (;;) {
            skipSpace();
            if (next() != '"') throw Decline{};
            const std::size_t begin = out().size() + (members.empty() ? 0 : 1);
            if (!members.empty()) out().push_back(',');
            const std::string_view key = string();
            skipSpace();
            expect(':');
            out().push_back(':');
            skipSpace();
            const std::size_t valueAt = at_;
            value(depth);
            if (top && key == dropped_) {
                split_.member = libraryValue(text_.substr(valueAt, at_ - valueAt));
                out().resize(begin - (members.empty() ? 0 : 1));
            } else {
                members.push_back({key, begin, out().size(), members.size()});
            }
            skipSpace();
            if (next() == '}') break;
            expect(',');
        }
        ++at_;
        if (members.empty() && out().size() > start + 1) out().resize(start + 1);
        // Usually sorted already, each key once: then the output stands.
        bool ordered = true;
        for (std::size_t i = 1; i < members.size() && ordered; ++i) ordered = members[i - 1].key < members[i].key;
        if (!ordered) reorder(start, members);
        out().push_back('}');
    }

    // Rewrites the members after `start` ("{" there) in key order, the last
    // of equal keys kept, as the library's map has them.
    void reorder(std::size_t start, std::vector<Member>& members) {
        std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
            return a.key < b.key || (a.key == b.key && a.order < b.order);
        });
        scratch_.clear();
        bool first = true;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;  // a later one wins
            if (!first) scratch_.push_back(',');
            first = false;
            const Member& m = members[i];
            scratch_.append(out(), m.begin, m.end - m.begin);
        }
        out().resize(start + 1);
        out().append(scratch_);
    }

    std::string& out() { return split_.rest; }

    std::string_view text_;
    std::string_view dropped_;
    SortedJson::Split& split_;
    std::size_t at_ = 0;
    std::deque<std::string> decoded_;  // keys that held escapes, decoded
    // The members of the object open at each depth, kept for the next
    // object there; sized once, so that no frame's reference moves.
    std::vector<std::vector<Member>> pool_ = std::vector<std::vector<Member>>(SortedJson::maxNesting);
    std::string scratch_;
};

}  // namespace

std::optional<SortedJson::Split> SortedJson::withoutMember(std::string_view text, std::string_view key) {
    Split split;
    try {
        Writer(text, key, split).run();
    } catch (const Decline&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    return split;
}

}  // namespace kavri
