// The subscription token out of whatever the user pasted or a link carried.
#include <cstdint>
#include <string>

#include "core/kavri_token.h"
#include "fuzz/fuzz_check.h"

using namespace kavri;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string token = KavriToken::bare(text);
    // A piece of the text, at most percent-decoded: never longer.
    FUZZ_CHECK(token.size() <= text.size());
    (void)KavriToken::bare(token);
    return 0;
}
