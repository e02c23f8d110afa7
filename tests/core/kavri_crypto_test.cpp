#include "core/kavri_crypto.h"

#include <gtest/gtest.h>

#include <set>

#include "core/deployment.h"
#include "core/kavri_http.h"
#include "platform/runtime/base64.h"
#include "testing/sealing_key.h"
#include "testing/test_control_plane.h"

using namespace kavri;

namespace {

// A body sealed by the test control plane for `session`, fetched over HTTPS.
std::string sealedReply(TestControlPlane& plane, const KavriCrypto::Session& session, const std::string& body) {
    plane.setSubscription("tok", body);
    HttpRequest request;
    request.url = plane.baseURL() + "/sub/tok";
    request.headers = {{"X-Kavri-EphPub", session.ephPubBase64()}, {"X-Kavri-Nonce", session.nonceBase64()}};
    const auto reply = KavriHTTP::api().send(request);
    EXPECT_EQ(reply.header("X-Kavri-Enc"), "1");
    return reply.body;
}

}  // namespace

TEST(KavriCrypto, SessionsAreFreshAndWellFormed) {
    std::set<std::string> keys, nonces;
    for (int i = 0; i < 32; ++i) {
        const KavriCrypto::Session s;
        EXPECT_EQ(s.ephPubBase64().size(), 44u);
        EXPECT_EQ(s.ephPubBase64().back(), '=');
        EXPECT_EQ(s.nonceBase64().size(), 16u);
        EXPECT_EQ(s.nonceBase64().find('='), std::string::npos);
        EXPECT_EQ(Base64::decode(s.nonceBase64())->size(), 12u);
        keys.insert(s.ephPubBase64());
        nonces.insert(s.nonceBase64());
    }
    EXPECT_EQ(keys.size(), 32u);
    EXPECT_EQ(nonces.size(), 32u);
}

TEST(KavriCrypto, ReplySealedByTheControlPlaneOpensOnlyWithItsOwnSessionIntact) {
    TestControlPlane plane;
    Deployment::install(plane.deployment());
    const std::string config = R"({"outbounds":[{"type":"direct","tag":"d"}]})";
    const KavriCrypto::Session session;
    const std::string sealed = sealedReply(plane, session, config);
    ASSERT_EQ(sealed.size(), config.size() + KavriCrypto::tagLength);

    EXPECT_EQ(KavriCrypto::open(sealed, session), config);

    for (std::size_t byte : {std::size_t{0}, sealed.size() / 2, sealed.size() - 1}) {  // ciphertext and tag
        std::string flipped = sealed;
        flipped[byte] = static_cast<char>(flipped[byte] ^ 0x01);
        EXPECT_EQ(KavriCrypto::open(flipped, session), std::nullopt) << "bit flipped in byte " << byte;
    }
    EXPECT_EQ(KavriCrypto::open(sealed, KavriCrypto::Session()), std::nullopt);

    // The server key of the deployment is what the reply is opened against.
    Deployment other = plane.deployment();
    other.serverPublicKey = SealingKey::generate().publicKeyBase64();
    Deployment::install(other);
    EXPECT_EQ(KavriCrypto::open(sealed, session), std::nullopt);
    other.serverPublicKey = "not base64!";
    Deployment::install(other);
    EXPECT_EQ(KavriCrypto::open(sealed, session), std::nullopt);
    other.serverPublicKey = Base64::encode(std::string(31, 'k'));
    Deployment::install(other);
    EXPECT_EQ(KavriCrypto::open(sealed, session), std::nullopt);
}

TEST(KavriCrypto, BodiesShorterThanSeventeenBytesAreNeverTried) {
    TestControlPlane plane;
    Deployment::install(plane.deployment());
    const KavriCrypto::Session session;
    // A genuine seal of the empty text is the bare 16-byte tag: it would
    // authenticate, so refusing it shows no attempt was made.
    const std::string emptySeal = *plane.sealingKey().seal("", session.ephPubBase64(), session.nonceBase64());
    ASSERT_EQ(emptySeal.size(), 16u);
    EXPECT_EQ(KavriCrypto::open(emptySeal, session), std::nullopt);
    EXPECT_EQ(KavriCrypto::open("", session), std::nullopt);

    // One byte of ciphertext is the shortest body that is tried.
    const std::string oneByte = sealedReply(plane, session, "x");
    ASSERT_EQ(oneByte.size(), 17u);
    EXPECT_EQ(KavriCrypto::open(oneByte, session), "x");
}
