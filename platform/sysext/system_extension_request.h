#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kavri {

// Why a request failed: the error's domain, numeric code, a description of
// its extra information and a text for people.
struct SystemExtensionError {
    std::string domain;
    long code = 0;
    std::string userInfo;
    std::string localizedDescription;
};

// The error domain of the system's own refusals, and its codes.
namespace SystemExtensionErrorCode {
inline constexpr const char* domain = "OSSystemExtensionErrorDomain";
inline constexpr long unknown = 1;
inline constexpr long extensionNotFound = 4;
inline constexpr long validationFailed = 9;
inline constexpr long requestSuperseded = 12;
inline constexpr long authorizationRequired = 13;
}  // namespace SystemExtensionErrorCode

// How a finished request ended.
namespace SystemExtensionResult {
inline constexpr long completed = 0;
inline constexpr long willCompleteAfterReboot = 1;
}  // namespace SystemExtensionResult

enum class SystemExtensionReplacementAction { cancel, replace };

class SystemExtensionRequest;

// Receives the answers to a request, on the request's queue.
class SystemExtensionRequestDelegate {
public:
    virtual ~SystemExtensionRequestDelegate() = default;
    // An extension with the same identifier is active; versions of both.
    virtual SystemExtensionReplacementAction actionForReplacing(const SystemExtensionRequest& request,
                                                                const std::string& existingVersion,
                                                                const std::string& newVersion) = 0;
    virtual void requestNeedsUserApproval(const SystemExtensionRequest& request) = 0;
    virtual void requestDidFinish(const SystemExtensionRequest& request, long result) = 0;
    virtual void requestDidFail(const SystemExtensionRequest& request, const SystemExtensionError& error) = 0;
};

// One request to activate the extension with an identifier. Its answers
// are run through `queue` (the caller's main thread) and reach the delegate
// only while it still exists.
class SystemExtensionRequest {
public:
    using Queue = std::function<void(std::function<void()>)>;

    static std::shared_ptr<SystemExtensionRequest> activationRequest(std::string identifier, Queue queue);

    const std::string& identifier() const { return identifier_; }
    std::uint64_t serial() const { return serial_; }
    void setDelegate(std::weak_ptr<SystemExtensionRequestDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<SystemExtensionRequestDelegate> delegate() const { return delegate_.lock(); }
    const Queue& queue() const { return queue_; }

private:
    SystemExtensionRequest(std::string identifier, Queue queue, std::uint64_t serial)
        : identifier_(std::move(identifier)), queue_(std::move(queue)), serial_(serial) {}

    std::string identifier_;
    Queue queue_;
    std::uint64_t serial_;
    std::weak_ptr<SystemExtensionRequestDelegate> delegate_;
};

}  // namespace kavri
