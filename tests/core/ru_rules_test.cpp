#include "core/ru_rules.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "core/deployment.h"
#include "core/kavri_http.h"
#include "core/kavri_store.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_pki.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kFiles = {"geoip-ru.srs", "geosite-category-ru.srs", "ru-extra.srs"};

std::optional<std::string> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (auto pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
    return text;
}

// What a rules host answers for one file.
struct Reply {
    int status = 200;
    std::string body;
    bool drop = false;  // the connection ends before the announced body is sent
};

// An HTTPS control-plane host on loopback that serves "/rules/<file>".
class RulesHost {
public:
    using Serve = std::function<Reply(const std::string& file)>;

    explicit RulesHost(Serve serve) : serve_(std::move(serve)) {
        server_.Get(R"(/rules/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string file = req.matches[1];
            {
                std::lock_guard lock(mutex_);
                requests_.push_back({file, req.has_header("X-Device-Id")
                                               ? std::optional(req.get_header_value("X-Device-Id"))
                                               : std::nullopt});
            }
            const Reply reply = serve_(file);
            res.status = reply.status;
            if (reply.drop) {
                // The length is announced, no byte follows: the transfer fails.
                res.set_content_provider(reply.body.size(), "application/octet-stream",
                                         [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
                return;
            }
            res.set_content(reply.body, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~RulesHost() {
        server_.stop();
        thread_.join();
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<std::pair<std::string, std::optional<std::string>>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    Serve serve_;
    httplib::SSLServer server_{TestPki::shared().certFile().c_str(), TestPki::shared().keyFile().c_str()};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::optional<std::string>>> requests_;
};

class RuRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Deployment::current();
        RuRules::setResourcesDirectory(resources_.path());
        rules_ = RuRules::rulesDirectory();
        for (const auto& entry : fs::directory_iterator(rules_)) fs::remove_all(entry.path());
        KavriStore::shared().removeObject("cp_last_good_host");
        KavriStore::shared().removeObject("cp_fallbacks_json");
    }
    void TearDown() override {
        Deployment::install(saved_);
        RuRules::setResourcesDirectory(std::nullopt);
    }

    void useHosts(const std::vector<std::string>& hosts) {
        Deployment d = saved_;
        d.hosts.clear();
        for (const auto& h : hosts) d.hosts.push_back({h, {}});
        d.caBundle = TestPki::shared().caFile();
        Deployment::install(d);
    }
    void writeAllLocal(const std::string& prefix) {
        for (const auto& f : kFiles) writeFile(rules_ / f, prefix + f);
    }
    std::map<std::string, std::optional<std::string>> localFiles() const {
        std::map<std::string, std::optional<std::string>> out;
        for (const auto& f : kFiles) out[f] = readFile(rules_ / f);
        return out;
    }
    std::optional<std::string> lastGoodHost() { return KavriStore::shared().string("cp_last_good_host"); }

    Deployment saved_;
    test::TempDir resources_;
    fs::path rules_;
};

// ---------------------------------------------------------------- seeding

TEST_F(RuRulesTest, SeedsOnlyMissingOrEmptyFiles) {
    struct Case {
        const char* name;
        std::optional<std::string> local;  // none: no file
        bool localIsDirectory;
        std::optional<std::string> resourceInRules;
        std::optional<std::string> resourceAtTop;
        std::optional<std::string> expected;  // none: still no file
        bool present;
    };
    const std::vector<Case> cases = {
        {"missing, copy in the rules folder", {}, false, "SRS-rules", {}, "SRS-rules", true},
        {"missing, copy at the top level", {}, false, {}, "SRS-top", "SRS-top", true},
        {"the rules folder copy comes first", {}, false, "SRS-rules", "SRS-top", "SRS-rules", true},
        {"empty file is replaced", "", false, "SRS-rules", {}, "SRS-rules", true},
        {"a directory in the way is replaced", {}, true, "SRS-rules", {}, "SRS-rules", true},
        {"a present file of 1 byte stays", "x", false, "SRS-rules", {}, "x", true},
        {"a present file stays even when the copy differs", "SRS-old", false, "SRS-new", {}, "SRS-old", true},
        {"missing without a copy stays missing", {}, false, {}, {}, {}, false},
        {"empty without a copy stays empty", "", false, {}, {}, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = rules_ / "ru-extra.srs";
        fs::remove_all(target);
        fs::remove_all(resources_.path());
        fs::create_directories(resources_.path());
        if (c.local) writeFile(target, *c.local);
        if (c.localIsDirectory) fs::create_directories(target / "inner");
        if (c.resourceInRules) writeFile(resources_ / "rules" / "ru-extra.srs", *c.resourceInRules);
        if (c.resourceAtTop) writeFile(resources_ / "ru-extra.srs", *c.resourceAtTop);

        RuRules::ensureSeeded();
        EXPECT_EQ(readFile(target), c.expected);
    }
    EXPECT_FALSE(RuRules::hasAllFiles());
}

TEST_F(RuRulesTest, HasAllFilesOnlyWhenEveryFileHasABytes) {
    writeAllLocal("");
    EXPECT_TRUE(RuRules::hasAllFiles());
    writeFile(rules_ / "geosite-category-ru.srs", "");
    EXPECT_FALSE(RuRules::hasAllFiles());
    writeFile(rules_ / "geosite-category-ru.srs", "x");
    fs::remove(rules_ / "geoip-ru.srs");
    EXPECT_FALSE(RuRules::hasAllFiles());
}

TEST_F(RuRulesTest, ShippedResourcesSeedEveryRuleSet) {
    const fs::path repoResources = fs::path(KAVRI_SOURCE_DIR) / "resources";
    RuRules::setResourcesDirectory(repoResources);
    RuRules::ensureSeeded();
    EXPECT_TRUE(RuRules::hasAllFiles());
    for (const auto& [tag, file] : RuRules::ruleFiles()) {
        SCOPED_TRACE(file);
        EXPECT_EQ(file, tag + ".srs");
        EXPECT_TRUE(RuRules::isRuleSetData(readFile(rules_ / file).value_or("")));
    }
    EXPECT_EQ(RuRules::ruleFiles().size(), 3u);
}

TEST(RuRules, RecognisesRuleSetData) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"SRS\x01\x02\x03\x04\x05", true}, {"SRS12345", true}, {"SRS1234", false},
        {"srs12345", false},             {"XSRS1234", false}, {"", false},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(RuRules::isRuleSetData(bytes), expected) << bytes;
}

// ---------------------------------------------------------------- rewriting

struct RewriteCase {
    const char* name;
    std::set<std::string> present;  // tags whose file exists
    std::string input;
    std::optional<std::string> expected;  // none: the input, byte for byte
    std::vector<std::string> missing;
};

// Arrays nested `levels` deep.
std::string nested(std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

const std::vector<RewriteCase> kRewriteCases = {
    {"not JSON", {}, "{ \"route\": ", {}, {}},
    {"top level not an object", {}, "[ 1, 2 ]", {}, {}},
    {"invalid UTF-8", {}, "{\"route\": {\"rule_set\": [{\"tag\": \"geoip-ru\", \"x\": \"\xff\"}]}}", {}, {}},
    {"route not an object", {}, "{ \"route\": 5 }", {}, {}},
    {"no rule_set", {}, "{ \"route\": { \"rules\": [] } }", {}, {}},
    {"empty rule_set", {}, "{ \"route\": { \"rule_set\": [] } }", {}, {}},
    {"rule_set holding a non-object", {}, "{ \"route\": { \"rule_set\": [ {\"tag\": \"geoip-ru\"}, 7 ] } }", {}, {}},
    {"only entries outside the table",
     {"geoip-ru"},
     "{ \"route\": { \"rule_set\": [ {\"type\": \"remote\"}, {\"tag\": \"other\"}, {\"tag\": 5} ] } }",
     {},
     {}},
    {"all three present",
     {"geoip-ru", "geosite-category-ru", "ru-extra"},
     R"({"route": {"rule_set": [
          {"tag": "geoip-ru", "type": "remote", "format": "binary", "url": "https://h/geoip-ru.srs",
           "download_detour": "direct", "update_interval": "1d"},
          {"tag": "geosite-category-ru", "type": "remote", "format": "source", "url": "u"},
          {"tag": "ru-extra", "type": "remote", "url": "u", "extra": 1},
          {"tag": "other", "type": "remote", "url": "keep"}],
        "final": "proxy"},
        "log": {"level": "info"}})",
     R"({"log":{"level":"info"},"route":{"final":"proxy","rule_set":[)"
     R"({"format":"binary","path":"@RULES@/geoip-ru.srs","tag":"geoip-ru","type":"local"},)"
     R"({"format":"binary","path":"@RULES@/geosite-category-ru.srs","tag":"geosite-category-ru","type":"local"},)"
     R"({"extra":1,"format":"binary","path":"@RULES@/ru-extra.srs","tag":"ru-extra","type":"local"},)"
     R"({"tag":"other","type":"remote","url":"keep"}]}})",
     {}},
    {"one missing: its entry and the rules naming only it go",
     {"ru-extra"},
     R"({"route": {
          "rule_set": [{"tag": "geoip-ru", "type": "remote", "url": "a"},
                       {"tag": "ru-extra", "type": "remote", "url": "b"}],
          "rules": [{"rule_set": ["geoip-ru", "ru-extra"], "outbound": "direct"},
                    {"rule_set": ["geoip-ru"], "outbound": "direct"},
                    {"rule_set": "geoip-ru", "outbound": "direct"},
                    {},
                    {"protocol": "dns", "action": "hijack-dns"}]},
        "dns": {"rules": [{"rule_set": ["ru-extra", "geoip-ru"], "server": "local"},
                          {"rule_set": ["geoip-ru"], "server": "local"}],
                "final": "remote"}})",
     R"({"dns":{"final":"remote","rules":[{"rule_set":["ru-extra"],"server":"local"}]},)"
     R"("route":{"rule_set":[{"format":"binary","path":"@RULES@/ru-extra.srs","tag":"ru-extra","type":"local"}],)"
     R"("rules":[{"outbound":"direct","rule_set":["ru-extra"]},{"outbound":"direct","rule_set":"geoip-ru"},{},)"
     R"({"action":"hijack-dns","protocol":"dns"}]}})",
     {"geoip-ru"}},
    {"missing ones in the order met; absent rule lists become empty",
     {},
     R"({"route": {"rule_set": [{"tag": "ru-extra"}, {"tag": "x"}, {"tag": "geoip-ru"}]}, "dns": {"servers": []}})",
     R"({"dns":{"rules":[],"servers":[]},"route":{"rule_set":[{"tag":"x"}],"rules":[]}})",
     {"ru-extra", "geoip-ru"}},
    {"malformed rule lists become empty; dns that is no object stays",
     {},
     R"({"dns": 5, "route": {"rule_set": [{"tag": "geoip-ru"}], "rules": [{"rule_set": ["x"]}, 3]}})",
     R"({"dns":5,"route":{"rule_set":[],"rules":[]}})",
     {"geoip-ru"}},
    {"nested a million levels: copying it would exhaust the stack",
     {"geoip-ru"},
     R"({"route":{"rule_set":[{"tag":"geoip-ru"}]},"x":)" + nested(1'000'000) + "}",
     {},
     {}},
    {"nested as deep as a configuration may",
     {"geoip-ru"},
     R"({"route":{"rule_set":[{"tag":"geoip-ru"}]},"x":)" + nested(500) + "}",
     R"({"route":{"rule_set":[{"format":"binary","path":"@RULES@/geoip-ru.srs","tag":"geoip-ru","type":"local"}]},"x":)" +
         nested(500) + "}",
     {}},
};

TEST_F(RuRulesTest, AbsolutizesRulePaths) {
    for (const auto& c : kRewriteCases) {
        SCOPED_TRACE(c.name);
        for (const auto& f : kFiles) fs::remove(rules_ / f);
        for (const auto& tag : c.present) writeFile(rules_ / (tag + ".srs"), "SRS\x01rules");

        const auto out = RuRules::absolutizeRulePaths(c.input);
        EXPECT_EQ(out.config, c.expected ? replaceAll(*c.expected, "@RULES@", rules_.string()) : c.input);
        EXPECT_EQ(out.missing, c.missing);
    }
    EXPECT_TRUE(rules_.is_absolute());
}

TEST_F(RuRulesTest, RewritingSeedsMissingFilesFirst) {
    writeFile(resources_ / "rules" / "geoip-ru.srs", "SRS\x01seed");
    const auto out = RuRules::absolutizeRulePaths(R"({"route":{"rule_set":[{"tag":"geoip-ru"}]}})");
    EXPECT_TRUE(out.missing.empty());
    EXPECT_EQ(readFile(rules_ / "geoip-ru.srs"), "SRS\x01seed");
}

// ---------------------------------------------------------------- download

TEST_F(RuRulesTest, ReplacesAChangedRuleSetAtomicallyAndReportsTheChange) {
    writeAllLocal("SRS\x01old ");
    const std::string sameGeosite = *readFile(rules_ / "geosite-category-ru.srs");
    RulesHost host([&](const std::string& file) -> Reply {
        if (file == "geoip-ru.srs") return {200, "SRS\x01new geoip"};
        if (file == "geosite-category-ru.srs") return {200, sameGeosite};
        return {200, "SRS1234"};  // 7 bytes: not a rule set
    });
    useHosts({host.host()});

    // A reader holding the old file keeps seeing the whole old file.
    const int oldFd = ::open((rules_ / "geoip-ru.srs").c_str(), O_RDONLY);
    ASSERT_GE(oldFd, 0);

    EXPECT_TRUE(RuRules::refreshFromRemote("DEVICE-1", KavriHTTP::api()));
    const auto files = localFiles();
    EXPECT_EQ(files.at("geoip-ru.srs"), "SRS\x01new geoip");
    EXPECT_EQ(files.at("geosite-category-ru.srs"), sameGeosite);
    EXPECT_EQ(files.at("ru-extra.srs"), "SRS\x01old ru-extra.srs");

    char buffer[64] = {};
    const ssize_t n = ::pread(oldFd, buffer, sizeof buffer, 0);
    ::close(oldFd);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0u), "SRS\x01old geoip-ru.srs");
    // Nothing but the three files is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(rules_), fs::directory_iterator()), 3);

    const auto requests = host.requests();
    ASSERT_EQ(requests.size(), 3u);
    std::set<std::string> asked;
    for (const auto& [file, device] : requests) {
        asked.insert(file);
        EXPECT_EQ(device, "DEVICE-1");
    }
    EXPECT_EQ(asked, (std::set<std::string>(kFiles.begin(), kFiles.end())));
    EXPECT_EQ(lastGoodHost(), host.host());

    // Served again with the same bytes: nothing changes.
    EXPECT_FALSE(RuRules::refreshFromRemote("DEVICE-1", KavriHTTP::api()));
    EXPECT_EQ(localFiles(), files);
}

TEST_F(RuRulesTest, APlantedLinkAtATemporaryNameIsNeverFollowed) {
    test::TempDir elsewhere;
    const fs::path target = elsewhere / "target";
    writeFile(target, "precious");
    fs::create_symlink(target, rules_ / ("geoip-ru.srs.tmp-" + std::to_string(::getpid())));
    RulesHost host([](const std::string& file) -> Reply { return {200, "SRS\x01" + file}; });
    useHosts({host.host()});

    EXPECT_TRUE(RuRules::refreshFromRemote(std::nullopt, KavriHTTP::api()));
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_EQ(readFile(rules_ / "geoip-ru.srs"), "SRS\x01geoip-ru.srs");
}

TEST_F(RuRulesTest, WritesAFileThatWasMissing) {
    RulesHost host([](const std::string& file) -> Reply { return {200, "SRS\x01" + file}; });
    useHosts({host.host()});
    EXPECT_FALSE(RuRules::hasAllFiles());
    // An identifier that would smuggle in a second header counts as none.
    EXPECT_TRUE(RuRules::refreshFromRemote("DEV\r\nX-Injected: 1", KavriHTTP::api()));
    EXPECT_TRUE(RuRules::hasAllFiles());
    EXPECT_EQ(readFile(rules_ / "ru-extra.srs"), "SRS\x01ru-extra.srs");
    for (const auto& [file, device] : host.requests()) EXPECT_EQ(device, std::nullopt);
}

TEST_F(RuRulesTest, AnInvalidDownloadChangesNothing) {
    struct Case {
        const char* name;
        Reply reply;
        std::optional<std::string> deviceID;
        bool hostRecorded;
    };
    const std::vector<Case> cases = {
        {"7 bytes", {200, "SRS\x01xyz"}, "DEVICE-1", true},
        {"not beginning with SRS", {200, "PK\x03\x04 not a rule set"}, "", true},
        {"error status", {500, "SRS\x01 valid body"}, std::nullopt, false},
        {"not found", {404, "SRS\x01 valid body"}, "DEVICE-1", false},
        {"connection lost mid-reply", {200, "SRS\x01 valid body", true}, "DEVICE-1", false},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KavriStore::shared().removeObject("cp_last_good_host");
        writeAllLocal("SRS\x01local ");
        const auto before = localFiles();
        RulesHost host([&](const std::string&) { return c.reply; });
        useHosts({host.host()});

        EXPECT_FALSE(RuRules::refreshFromRemote(c.deviceID, KavriHTTP::api()));
        EXPECT_EQ(localFiles(), before);
        EXPECT_EQ(lastGoodHost().has_value(), c.hostRecorded);
        const auto requests = host.requests();
        EXPECT_EQ(requests.size(), 3u);
        for (const auto& [file, device] : requests) {
            // An empty identifier sends no header at all.
            EXPECT_EQ(device, c.deviceID && !c.deviceID->empty() ? c.deviceID : std::nullopt);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(rules_), fs::directory_iterator()), 3);
    }
}

TEST_F(RuRulesTest, AStoppedRefreshAsksNoFurtherHost) {
    std::stop_source stop;
    // The first host is asked, and the refresh is stopped while it answers.
    RulesHost first([&](const std::string&) -> Reply {
        stop.request_stop();
        return {503, "busy"};
    });
    RulesHost second([](const std::string& file) -> Reply { return {200, "SRS\x01" + file}; });
    useHosts({first.host(), second.host()});

    EXPECT_FALSE(RuRules::refreshFromRemote("DEVICE-1", KavriHTTP::api(), stop.get_token()));
    EXPECT_EQ(first.requests().size(), 1u);
    EXPECT_TRUE(second.requests().empty());
    EXPECT_FALSE(RuRules::hasAllFiles());
}

TEST_F(RuRulesTest, GivesEachFileSixtySecondsOfHosts) {
    FakeClock clock;
    // Every host fails, and every attempt takes 25 s of the clock: a file
    // gets attempts at 0, 25 and 50 s; the fourth host (75 s) is never asked.
    auto failSlowly = [&](const std::string&) -> Reply {
        clock.advance(std::chrono::seconds(25));
        return {503, "busy"};
    };
    RulesHost a(failSlowly), b(failSlowly), c(failSlowly), d(failSlowly);
    useHosts({a.host(), b.host(), c.host(), d.host()});

    EXPECT_FALSE(RuRules::refreshFromRemote("DEVICE-1", KavriHTTP::api(), {}, clock));
    for (const RulesHost* h : {&a, &b, &c}) {
        std::vector<std::string> files;
        for (const auto& [file, device] : h->requests()) files.push_back(file);
        EXPECT_EQ(files, kFiles);
    }
    EXPECT_TRUE(d.requests().empty());
    EXPECT_FALSE(lastGoodHost());
    EXPECT_FALSE(RuRules::hasAllFiles());
}

}  // namespace
