#include "platform/codesign/code_signature.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/test_pki.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

const std::string team = "KV7TEAM0ID";

void sign(const fs::path& bundle, const std::string& signer = team, bool trusted = true) {
    const auto identity = TestPki::shared().signingIdentity(signer, trusted);
    CodeSignature::sign(bundle, identity.certFile, identity.keyFile);
}

fs::path makeBundle(const test::TempDir& temp) {
    const fs::path app = temp / "Kavri.app";
    test::writeFakeBundle(app, "new", temp / "launches");
    fs::create_directories(app / "Contents" / "Resources" / "rules");
    std::ofstream(app / "Contents" / "Resources" / "rules" / "ru.srs") << "SRS rules";
    fs::create_directory_symlink("../Resources", app / "Contents" / "MacOS" / "resources");
    return app;
}

TEST(CodeSignatureTest, ASignedBundleVerifiesAndNamesItsSignerAndTeam) {
    test::TempDir temp;
    const fs::path app = makeBundle(temp);
    sign(app);
    EXPECT_NO_THROW(CodeSignature::verify(app));
    const auto d = CodeSignature::describe(app);
    EXPECT_EQ(d.teamIdentifier, team);
    EXPECT_EQ(d.executable, app / "Contents" / "MacOS" / "kavri");
    EXPECT_EQ(d.authorities, (std::vector<std::string>{"Developer ID Application: KV7TEAM0ID", "Kavri test CA"}));
    EXPECT_NO_THROW(CodeSignature::assess(app, TestPki::shared().caFile()));
}

TEST(CodeSignatureTest, AnyChangeAfterSigningBreaksTheSignature) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
    } cases[] = {
        {"one byte of a file", [](const fs::path& app) { std::ofstream(app / "Contents/version") << "neW"; }},
        {"a file added", [](const fs::path& app) { std::ofstream(app / "Contents/Resources/extra"); }},
        {"a file removed", [](const fs::path& app) { fs::remove(app / "Contents/Resources/rules/ru.srs"); }},
        {"a folder added", [](const fs::path& app) { fs::create_directory(app / "Contents/Plugins"); }},
        {"a file no longer executable",
         [](const fs::path& app) { fs::permissions(app / "Contents/MacOS/kavri", fs::perms(0644)); }},
        {"a link retargeted",
         [](const fs::path& app) {
             fs::remove(app / "Contents/MacOS/resources");
             fs::create_directory_symlink("../MacOS", app / "Contents/MacOS/resources");
         }},
        {"a link out of the bundle",
         [](const fs::path& app) { fs::create_symlink("../../../elsewhere", app / "Contents/Resources/out"); }},
        {"the signature removed", [](const fs::path& app) { fs::remove_all(app / CodeSignature::folder); }},
        {"the signed list edited",
         [](const fs::path& app) { std::ofstream(app / CodeSignature::folder / "CodeResources", std::ios::app) << " "; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        const fs::path app = makeBundle(temp);
        sign(app);
        c.change(app);
        EXPECT_THROW(CodeSignature::verify(app), CodeSignature::Error);
        EXPECT_THROW(CodeSignature::assess(app, TestPki::shared().caFile()), CodeSignature::Error);
    }
}

TEST(CodeSignatureTest, OnlyASignerUnderATrustedRootPassesTheAssessment) {
    test::TempDir temp;
    const fs::path app = makeBundle(temp);
    sign(app, team, false);
    EXPECT_NO_THROW(CodeSignature::verify(app));
    EXPECT_EQ(CodeSignature::describe(app).teamIdentifier, team);
    EXPECT_THROW(CodeSignature::assess(app, TestPki::shared().caFile()), CodeSignature::Error);
    EXPECT_THROW(CodeSignature::assess(app, temp / "no-roots.pem"), CodeSignature::Error);

    // A server certificate of the trusted root is no code-signing identity.
    CodeSignature::sign(app, TestPki::shared().certFile(), TestPki::shared().keyFile());
    EXPECT_NO_THROW(CodeSignature::verify(app));
    EXPECT_THROW(CodeSignature::assess(app, TestPki::shared().caFile()), CodeSignature::Error);
}

TEST(CodeSignatureTest, ABundleWithALinkOutOfItIsNeverSigned) {
    test::TempDir temp;
    const fs::path app = makeBundle(temp);
    fs::create_symlink("/etc/passwd", app / "Contents/Resources/passwd");
    EXPECT_THROW(sign(app), CodeSignature::Error);
    EXPECT_THROW(CodeSignature::describe(app), CodeSignature::Error);
}

}  // namespace
}  // namespace kavri
