// A reply body of the control plane as each of the app's clients reads it:
// the account (provisioning, status, payment), the device link and device
// list, the stack (snapshot, catalog, selection), the subscription's metadata
// and counters and the update manifest. Each either gives its record or
// fails with its own decoding error; every date it gives is one a Date
// holds, and text dates and numbers of seconds pass the one checked
// conversion.
#include <cstdint>
#include <cstring>
#include <string>

#include "api/app_update.h"
#include "api/decoding_error.h"
#include "api/device_link_api.h"
#include "api/kavri_api.h"
#include "api/stack_api.h"
#include "api/subscription_meta.h"
#include "api/subscription_userinfo.h"
#include "fuzz/fuzz_check.h"
#include "platform/runtime/checked_date.h"
#include "platform/runtime/internet_date_time.h"
#include "platform/runtime/log.h"

using namespace kavri;

namespace {

void checkDate(const std::optional<CheckedDate::Date>& date) {
    if (date) FUZZ_CHECK(*date >= CheckedDate::earliest() && *date <= CheckedDate::latest());
}

// Runs one strict decoder: its record, or its own error.
template <class F>
void decodes(F&& decode) {
    try {
        decode();
    } catch (const DecodingError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setQuiet(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);

    decodes([&] { (void)KavriAPI::ProvisionResult::decode(body); });
    decodes([&] { (void)KavriAPI::PaymentResult::decode(body); });
    decodes([&] {
        const auto status = KavriAPI::StatusResult::decode(body);
        checkDate(status.expiresAt);
        checkDate(status.nextChargeAt);
    });
    decodes([&] { (void)StackAPI::Snapshot::decode(body); });
    decodes([&] { (void)StackAPI::Catalog::decode(body); });
    decodes([&] { (void)StackAPI::SelectResponse::decode(body); });
    decodes([&] { (void)SubscriptionMeta::decode(body); });
    (void)SubscriptionUserinfo::parse(body);
    (void)AppUpdate::parse(body, "https://cp.example/dl/latest.json");

    // The link calls read any body as an object, empty when it is none.
    const auto reply = DeviceLinkAPI::replyObject(body);
    FUZZ_CHECK(reply.is_object());
    if (const auto invite = DeviceLinkAPI::Invite::fromJson(reply)) checkDate(invite->expiresAt);
    for (const int status : {200, 404, 409}) (void)DeviceLinkAPI::LinkV2Error(status, reply).what();
    for (const auto& device : DeviceLinkAPI::DeviceList::fromJson(reply).devices) {
        checkDate(device.lastSeen);
        checkDate(device.addedAt);
    }

    // The body as a date-time text, and its first eight bytes as a number
    // of seconds.
    checkDate(InternetDateTime::parseEitherForm(body));
    if (size >= sizeof(double)) {
        double seconds;
        std::memcpy(&seconds, data, sizeof seconds);
        checkDate(CheckedDate::fromUnixSeconds(seconds));
        std::int64_t whole;
        std::memcpy(&whole, data, sizeof whole);
        checkDate(CheckedDate::fromUnixSeconds(whole));
    }
    return 0;
}
