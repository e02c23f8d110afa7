#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "core/kavri_store.h"
#include "core/property_list.h"
#include "platform/runtime/log.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

PlistValue::Dict parseStoreFile(const fs::path& p) {
    auto v = PropertyList::decode(readFile(p));
    if (!v || !v->is<PlistValue::Dict>()) return {};
    return *v->get<PlistValue::Dict>();
}

bool storeFileParses(const fs::path& p) {
    auto v = PropertyList::decode(readFile(p));
    return v && v->is<PlistValue::Dict>();
}

}  // namespace

TEST(KavriStore, MissingFileReadsEmptyAndFirstWriteCreatesIt) {
    test::TempDir dir;
    KavriStore store(dir.path());
    EXPECT_FALSE(store.string("a"));
    EXPECT_FALSE(store.boolValue("a"));
    EXPECT_EQ(store.integer("a"), 0);
    EXPECT_EQ(store.doubleValue("a"), 0.0);
    EXPECT_FALSE(fs::exists(store.fileURL()));

    store.set("a", "x");
    struct stat st {};
    ASSERT_EQ(stat(store.fileURL().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(store.lockPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto onDisk = parseStoreFile(store.fileURL());
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(*onDisk.at("a").get<std::string>(), "x");
    EXPECT_TRUE(fs::exists(store.lockPath()));
}

TEST(KavriStore, SettingNothingRemovesTheKey) {
    test::TempDir dir;
    KavriStore store(dir.path());
    store.set("a", 1);
    store.set("b", 2);
    store.set("a", std::nullopt);
    store.removeObject("b");
    EXPECT_FALSE(store.object("a"));
    EXPECT_FALSE(store.object("b"));
}

TEST(KavriStore, GettersCoerceAsDocumented) {
    test::TempDir dir;
    KavriStore store(dir.path());
    struct Case {
        PlistValue value;
        std::int64_t integer;
        bool boolean;
        double real;
    };
    const std::vector<Case> cases = {
        {"12", 12, true, 0},       {"+7", 7, true, 0},        {"-3", -3, true, 0},  {"12.5", 0, true, 0},
        {" 12", 0, true, 0},       {"", 0, false, 0},         {"abc", 0, false, 0},  {"2.5", 0, true, 0},
        {"yes", 0, true, 0},       {"True", 0, true, 0},      {"1", 1, true, 0},     {"007", 7, true, 0},
        {"no", 0, false, 0},       {"0", 0, false, 0},        {"  -0y", 0, true, 0}, {"99999999999999999999", 0, true, 0},
        {2.9, 2, true, 2.9},       {-2.9, -2, true, -2.9},    {3, 3, true, 3.0},     {0, 0, false, 0.0},
        {true, 1, true, 1.0},      {false, 0, false, 0.0},    {Data{"12"}, 0, false, 0},
        {"+-3", 0, false, 0},      {"-+3", 0, false, 0},      {"--3", 0, false, 0},
        {"\u00A0yes", 0, true, 0}, {"\u3000\u00A07", 0, true, 0},  // Unicode white space before the first character
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string key = "k" + std::to_string(i);
        store.set(key, cases[i].value);
        EXPECT_EQ(store.integer(key), cases[i].integer) << "case " << i;
        EXPECT_EQ(store.boolValue(key), cases[i].boolean) << "case " << i;
        EXPECT_EQ(store.doubleValue(key), cases[i].real) << "case " << i;
    }
    store.set("num", 5);
    EXPECT_FALSE(store.string("num"));  // numbers are not turned into text
    store.set("text", "abc");
    EXPECT_FALSE(store.data("text"));
    store.set("bytes", Data{"abc"});
    EXPECT_EQ(store.data("bytes").value(), "abc");
    EXPECT_FALSE(store.string("bytes"));
}

TEST(KavriStore, EveryTypeRoundTripsThroughTheFile) {
    test::TempDir dir;
    const Date when = Date(std::chrono::microseconds(1'765'432'109'123'456));
    const Date before2001 = Date(std::chrono::seconds(946'684'800) + std::chrono::microseconds(250'000));
    const Date in2099 = Date(std::chrono::seconds(4'070'908'800));   // an expiry far ahead
    const Date in1900 = Date(std::chrono::seconds(-2'208'988'800));
    PlistValue::Dict nested{{"n", -5}, {"list", PlistValue::Array{1, "two", 3.5, false}}};
    {
        KavriStore writer(dir.path());
        writer.set("text", "Привет");
        writer.set("data", Data{std::string("\x00\x01\xff", 3)});
        writer.set("neg", std::int64_t{-1234567890123});
        writer.set("min", std::numeric_limits<std::int64_t>::min());
        writer.set("real", 0.1);
        writer.set("flag", true);
        writer.set("when", when);
        writer.set("before2001", before2001);
        writer.set("in2099", in2099);
        writer.set("in1900", in1900);
        writer.set("dict", nested);
    }
    KavriStore reader(dir.path());
    EXPECT_EQ(reader.string("text").value(), "Привет");
    EXPECT_EQ(reader.data("data").value(), std::string("\x00\x01\xff", 3));
    EXPECT_EQ(reader.integer("neg"), -1234567890123);
    EXPECT_EQ(reader.integer("min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(reader.doubleValue("real"), 0.1);
    EXPECT_TRUE(reader.boolValue("flag"));
    EXPECT_TRUE(reader.object("flag")->is<bool>());
    EXPECT_EQ(*reader.object("when")->get<Date>(), when);
    EXPECT_EQ(*reader.object("before2001")->get<Date>(), before2001);
    EXPECT_EQ(*reader.object("in2099")->get<Date>(), in2099);
    EXPECT_EQ(*reader.object("in1900")->get<Date>(), in1900);
    EXPECT_EQ(*reader.object("dict"), PlistValue(nested));
}

TEST(KavriStore, AWriteOfAValueWithoutFileFormIsDroppedWhole) {
    using namespace std::string_literals;
    const std::pair<std::string, PlistValue> cases[] = {
        {"nul", "cut\0here"s},                                // the writer would cut the text
        {"bytes", "\xff\xfe"},                               // text that is not UTF-8
        {"key\0nul"s, 1},
    };
    test::TempDir dir;
    KavriStore store(dir.path());
    store.set("keep", "me");
    const std::string before = readFile(store.fileURL());
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key);
        LogCapture log;
        store.set(key, value);
        EXPECT_EQ(readFile(store.fileURL()), before);
        EXPECT_FALSE(store.object(key));
        EXPECT_EQ(store.string("keep").value(), "me");
        EXPECT_TRUE(log.containsText("cannot be stored"));
    }
}

TEST(KavriStore, SeveralKeysGoInOneReplacementAndAWriteThatChangesNothingKeepsTheFile) {
    test::TempDir dir;
    KavriStore store(dir.path());
    store.set("keep", "me");
    store.setAll({{"a", 1}, {"b", Data{"bytes"}}, {"keep", std::nullopt}});
    EXPECT_EQ(store.integer("a"), 1);
    EXPECT_EQ(store.data("b").value(), "bytes");
    EXPECT_FALSE(store.object("keep"));

    // The file of a write is a new one (rename over the old); one that
    // changes nothing leaves it, and its time, as they were.
    struct stat before {};
    ASSERT_EQ(stat(store.fileURL().c_str(), &before), 0);
    const KavriStore::Changes unchanged[] = {
        {{"a", 1}},
        {{"keep", std::nullopt}},
        {{"a", 1}, {"b", Data{"bytes"}}, {"absent", std::nullopt}},
    };
    for (const auto& changes : unchanged) {
        store.setAll(changes);
        struct stat after {};
        ASSERT_EQ(stat(store.fileURL().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
    // A value of another type is a change: 1 as a text is not 1.
    store.set("a", "1");
    EXPECT_EQ(store.string("a").value(), "1");
    KavriStore other(dir.path());
    EXPECT_EQ(other.string("a").value(), "1");
}

TEST(KavriStore, ReaderSeesOtherWritersAndWritersKeepTheirKeys) {
    test::TempDir dir;
    KavriStore a(dir.path()), b(dir.path());
    b.set("from_b", 1);
    EXPECT_EQ(a.integer("from_b"), 1);  // a caches now
    b.set("from_b", 2);
    EXPECT_EQ(a.integer("from_b"), 2);
    a.set("from_a", 3);
    EXPECT_EQ(b.integer("from_a"), 3);
    EXPECT_EQ(b.integer("from_b"), 2);
}

TEST(KavriStore, TwoProcessesWritingAtOnceKeepEveryKey) {
    test::TempDir dir;
    auto writer = [&](const std::string& prefix) {
        const pid_t pid = fork();
        if (pid == 0) {
            Log::setQuiet(true);
            KavriStore store(dir.path());
            for (int i = 0; i < 500; ++i) store.set(prefix + std::to_string(i), i);
            _exit(0);
        }
        return pid;
    };
    const pid_t p1 = writer("a"), p2 = writer("b");
    int s1 = 0, s2 = 0;
    waitpid(p1, &s1, 0);
    waitpid(p2, &s2, 0);
    ASSERT_TRUE(WIFEXITED(s1) && WIFEXITED(s2));
    KavriStore store(dir.path());
    const auto all = store.snapshot();
    EXPECT_EQ(all.size(), 1000u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(store.integer("a" + std::to_string(i)), i);
        EXPECT_EQ(store.integer("b" + std::to_string(i)), i);
    }
}

TEST(KavriStore, AWriterKilledAtAnyMomentNeverLeavesABrokenFile) {
    test::TempDir dir;
    {
        KavriStore seed(dir.path());
        seed.set("seed", std::string(4096, 'x'));
    }
    std::mt19937 rng(42);
    for (int round = 0; round < 100; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            Log::setQuiet(true);
            KavriStore store(dir.path());
            for (int i = 0;; ++i) store.set("k" + std::to_string(i % 50), std::string(1000 + i % 3000, 'y'));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(storeFileParses(dir / "shared.plist")) << "round " << round;
    }
    KavriStore store(dir.path());
    EXPECT_EQ(store.string("seed").value(), std::string(4096, 'x'));
}

TEST(KavriStore, CorruptFileIsKeptAsideAndTheStoreGoesOn) {
    test::TempDir dir;
    const std::string garbage = "bplist00 this is not a property list \x01\x02";
    writeFile(dir / "shared.plist", garbage);
    KavriStore store(dir.path());
    EXPECT_FALSE(store.string("a"));
    store.set("a", "fresh");
    EXPECT_EQ(readFile(dir / "shared.plist.corrupt"), garbage);
    const auto onDisk = parseStoreFile(dir / "shared.plist");
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(store.string("a").value(), "fresh");

    // A later corruption keeps the first one aside too.
    writeFile(dir / "shared.plist", "second garbage");
    store.set("b", "again");
    EXPECT_EQ(readFile(dir / "shared.plist.corrupt"), garbage);
    EXPECT_EQ(readFile(dir / "shared.plist.corrupt.1"), "second garbage");
    EXPECT_EQ(parseStoreFile(dir / "shared.plist"), (PlistValue::Dict{{"b", "again"}}));
}

TEST(KavriStore, ACorruptFileStaysInPlaceWhenTheWriteCannotBeStored) {
    using namespace std::string_literals;
    test::TempDir dir;
    const std::string garbage = "bplist00 this is not a property list \x01\x02";
    writeFile(dir / "shared.plist", garbage);
    KavriStore store(dir.path());
    LogCapture log;
    store.set("a", "cut\0here"s);
    EXPECT_TRUE(log.containsText("cannot be stored"));
    EXPECT_EQ(readFile(dir / "shared.plist"), garbage);
    EXPECT_FALSE(fs::exists(dir / "shared.plist.corrupt"));
}

TEST(KavriStore, EmptyTruncatedAndHostileFilesReadEmptyAndAreKeptAside) {
    std::string whole;
    {
        test::TempDir seed;
        KavriStore store(seed.path());
        store.set("cached_singbox_config", Data{R"({"outbounds":[{"type":"direct"}]})"});
        store.set("config_epoch", 3);
        whole = readFile(store.fileURL());
    }
    std::string nulKey = whole;
    nulKey[nulKey.find("config_epoch") + 6] = '\0';
    std::string deep = R"(<?xml version="1.0"?><plist version="1.0">)";
    for (int i = 0; i < 200'000; ++i) deep += "<array>";
    const std::pair<std::string, std::string> cases[] = {
        {"empty", ""},
        {"cut after 1 byte", whole.substr(0, 1)},
        {"cut after the header", whole.substr(0, 8)},
        {"cut in half", whole.substr(0, whole.size() / 2)},
        {"last byte missing", whole.substr(0, whole.size() - 1)},
        {"key holding NUL", nulKey},
        {"nested 200,000 levels", deep},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        writeFile(dir / "shared.plist", bytes);
        KavriStore store(dir.path());
        LogCapture log;
        EXPECT_TRUE(store.snapshot().empty());
        EXPECT_FALSE(store.integer("config_epoch"));

        store.set("a", "fresh");

        EXPECT_EQ(parseStoreFile(dir / "shared.plist"), (PlistValue::Dict{{"a", "fresh"}}));
        if (bytes.empty()) {
            EXPECT_FALSE(fs::exists(dir / "shared.plist.corrupt"));  // nothing to keep
        } else {
            EXPECT_EQ(readFile(dir / "shared.plist.corrupt"), bytes);
            EXPECT_TRUE(log.containsText("unreadable contents moved to"));
        }
    }
}

TEST(KavriStore, AFileThatCannotBeReadIsNeverReplaced) {
    test::TempDir dir;
    fs::create_directory(dir / "shared.plist");  // exists, but reading it fails
    KavriStore store(dir.path());
    LogCapture log;
    store.set("a", "x");
    EXPECT_TRUE(fs::is_directory(dir / "shared.plist"));
    EXPECT_FALSE(store.string("a"));
    EXPECT_TRUE(log.containsText("write of \"a\" dropped"));
}

TEST(KavriStore, WritesWithoutTheLockFileStillHappen) {
    test::TempDir dir;
    fs::create_directory(dir / "shared.lock");  // cannot be opened for writing
    KavriStore store(dir.path());
    store.set("a", "x");
    KavriStore other(dir.path());
    EXPECT_EQ(other.string("a").value(), "x");
}

namespace {

// Sets (or, with nullptr, unsets) an environment variable for its life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(KavriStore, TheOwnDirectoryIsPrivateToTheUser) {
    test::TempDir home;
    ScopedEnv noDataDir("KAVRI_DATA_DIR", nullptr);
    ScopedEnv homeDir("HOME", home.path().c_str());
    {
        ScopedEnv noXdg("XDG_DATA_HOME", nullptr);
        const fs::path dir = KavriStore::ownDirectory();
        EXPECT_EQ(dir, home / ".local" / "share" / "kavri" / "shared");
        for (const fs::path& p : {home / ".local", home / ".local" / "share", home / ".local" / "share" / "kavri", dir})
            EXPECT_EQ(modeOf(p), 0700u) << p;

        // A folder an older version left open to everyone is closed.
        ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
        EXPECT_EQ(KavriStore::ownDirectory(), dir);
        EXPECT_EQ(modeOf(dir), 0700u);
    }
    const fs::path xdg = home / "xdg";
    ScopedEnv xdgHome("XDG_DATA_HOME", xdg.c_str());
    EXPECT_EQ(KavriStore::ownDirectory(), xdg / "kavri" / "shared");
    EXPECT_EQ(modeOf(xdg / "kavri" / "shared"), 0700u);
}

TEST(KavriStore, PlantedLinksAreNeverFollowed) {
    test::TempDir dir, elsewhere;
    const fs::path lockTarget = elsewhere / "lock-target", tempTarget = elsewhere / "temp-target";
    writeFile(lockTarget, "precious lock target");
    writeFile(tempTarget, "precious temp target");
    ASSERT_EQ(::chmod(lockTarget.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(tempTarget.c_str(), 0644), 0);
    fs::create_symlink(lockTarget, dir / "shared.lock");
    fs::create_symlink(tempTarget, dir / ("shared.plist.tmp-" + std::to_string(::getpid())));

    KavriStore store(dir.path());
    store.set("a", "x");
    store.set("b", "y");

    EXPECT_EQ(readFile(lockTarget), "precious lock target");
    EXPECT_EQ(readFile(tempTarget), "precious temp target");
    EXPECT_EQ(modeOf(lockTarget), 0644u);
    EXPECT_EQ(modeOf(tempTarget), 0644u);
    // The writes themselves still happened.
    KavriStore other(dir.path());
    EXPECT_EQ(other.string("a").value(), "x");
    EXPECT_EQ(other.string("b").value(), "y");
    EXPECT_TRUE(fs::is_symlink(dir / "shared.lock"));
}

TEST(KavriStore, SharedStoreUsesTheConfiguredDirectory) {
    const char* env = std::getenv("KAVRI_SHARED_DIR");
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(KavriStore::directory(), fs::path(env));
    EXPECT_EQ(KavriStore::shared().fileURL(), fs::path(env) / "shared.plist");
}
