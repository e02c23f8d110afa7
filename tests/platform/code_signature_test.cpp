#include "platform/codesign/code_signature.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/runtime/process_runner.h"
#include "testing/test_pki.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/seal_signing.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

const std::string team = "KV7TEAM0ID";
const std::string codesignTool = std::string(KAVRI_BINARY_DIR) + "/platform/tools/codesign";

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
    fs::create_directory_symlink("MacOS", app / "Contents" / "Programs");
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
        {"a link renamed",
         [](const fs::path& app) { fs::rename(app / "Contents/Programs", app / "Contents/Executables"); }},
        {"a link added beside one to the same place",
         [](const fs::path& app) { fs::create_directory_symlink("MacOS", app / "Contents/Added"); }},
        {"a link removed", [](const fs::path& app) { fs::remove(app / "Contents/Programs"); }},
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
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> links;  // path in Contents, target
    } cases[] = {
        {"an absolute link", {{"passwd", "/etc/passwd"}}},
        {"a link that climbs out", {{"up", "../.."}}},
        // Each target stays inside as text; the second leads out by way of the first.
        {"a link out by way of another link", {{"top", ".."}, {"out", "top/.."}}},
        {"links that lead to each other", {{"a", "b"}, {"b", "a"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        const fs::path app = makeBundle(temp);
        for (const auto& [path, target] : c.links) fs::create_symlink(target, app / "Contents" / path);
        EXPECT_THROW(sign(app), CodeSignature::Error);
        EXPECT_THROW(CodeSignature::describe(app), CodeSignature::Error);
    }
}

TEST(CodeSignatureTest, TheToolRefusesABundleWhoseLinksWereRenamedOrAdded) {
    const auto verifies = [](const fs::path& app) {
        return ProcessRunner::run(codesignTool, {"--verify", "--deep", "--strict", app.string()}).status;
    };
    test::TempDir temp;
    const fs::path app = makeBundle(temp);
    sign(app);
    EXPECT_EQ(verifies(app), 0);
    fs::rename(app / "Contents/Programs", app / "Contents/Executables");
    EXPECT_EQ(verifies(app), 1);
    fs::rename(app / "Contents/Executables", app / "Contents/Programs");
    EXPECT_EQ(verifies(app), 0);
    fs::create_directory_symlink("MacOS", app / "Contents/Added");
    EXPECT_EQ(verifies(app), 1);
}

TEST(CodeSignatureTest, AMalformedSealIsRefusedWithAMessage) {
    const std::string deep = std::string(300000, '[') + std::string(300000, ']');
    const std::string files = R"({"executable":"Contents/MacOS/kavri","folders":[],"links":{},"files":)";
    const struct Case {
        const char* name;
        std::string seal;
    } cases[] = {
        {"nested 300000 deep", deep},
        {"deep inside a member", files + "{\"a\":" + deep + "}}"},
        {"not JSON", "{\"executable\":"},
        {"a list", "[]"},
        {"its files as a list", files + "[]}"},
        {"a file without its digest", files + R"({"Contents/version":{"executable":false}}})"},
        {"a link to a number", R"({"executable":"x","files":{},"folders":[],"links":{"a":1}})"},
        {"a member more", files + R"({},"more":1})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        const fs::path app = makeBundle(temp);
        test::writeSignedSeal(app, c.seal, {TestPki::shared().signingIdentity(team)});
        try {
            CodeSignature::verify(app);
            ADD_FAILURE() << "verified";
        } catch (const CodeSignature::Error& e) {
            EXPECT_STREQ(e.what(), "the sealed resources are not readable");
        }
        EXPECT_THROW(CodeSignature::describe(app), CodeSignature::Error);
        // The tool answers, rather than dying on the way.
        for (const auto& mode : {"--verify", "-dv"}) {
            const auto result = ProcessRunner::run(codesignTool, {mode, app.string()});
            EXPECT_EQ(result.status, 1) << mode;
            EXPECT_NE(result.output.find("the sealed resources are not readable"), std::string::npos) << mode;
        }
    }
}

}  // namespace
}  // namespace kavri
