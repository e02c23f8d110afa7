#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kavri {

// The general clipboard of the user's session. The app installs the real
// one; until then the clipboard is empty.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // The plain-text content; std::nullopt when there is none.
    virtual std::optional<std::string> string() const = 0;
    // Empties it.
    virtual void clearContents() = 0;
    // Holds `text` as plain text from now on.
    virtual void setString(const std::string& text) = 0;

    static std::shared_ptr<Pasteboard> general();
    // nullptr restores the empty clipboard.
    static void install(std::shared_ptr<Pasteboard> pasteboard);
};

// A clipboard that holds one text (tests; a copy taken elsewhere).
class TextPasteboard final : public Pasteboard {
public:
    explicit TextPasteboard(std::optional<std::string> text = std::nullopt) : text_(std::move(text)) {}
    std::optional<std::string> string() const override;
    void clearContents() override;
    void setString(const std::string& text) override;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> text_;
};

}  // namespace kavri
