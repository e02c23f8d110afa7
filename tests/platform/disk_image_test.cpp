#include "platform/diskimage/disk_image.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <fstream>

#include "platform/runtime/process_runner.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

// One entry of a hand-made archive.
struct Item {
    std::string name;
    enum Type { file, folder, link, hardLink, fifo } type = file;
    std::string text = {};  // a file's bytes, a link's target
};

// Writes a gzip-compressed tar archive holding exactly these entries, names
// as given.
void writeArchive(const fs::path& path, const std::vector<Item>& items) {
    archive* out = archive_write_new();
    archive_write_add_filter_gzip(out);
    archive_write_set_format_pax_restricted(out);
    ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
    for (const auto& item : items) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, item.name.c_str());
        archive_entry_set_perm(e, 0755);
        switch (item.type) {
            case Item::file:
                archive_entry_set_filetype(e, AE_IFREG);
                archive_entry_set_size(e, static_cast<la_int64_t>(item.text.size()));
                break;
            case Item::folder: archive_entry_set_filetype(e, AE_IFDIR); break;
            case Item::link:
                archive_entry_set_filetype(e, AE_IFLNK);
                archive_entry_set_symlink(e, item.text.c_str());
                break;
            case Item::hardLink:
                archive_entry_set_filetype(e, AE_IFREG);
                archive_entry_set_hardlink(e, item.text.c_str());
                break;
            case Item::fifo: archive_entry_set_filetype(e, AE_IFIFO); break;
        }
        archive_write_header(out, e);
        if (item.type == Item::file) archive_write_data(out, item.text.data(), item.text.size());
        archive_entry_free(e);
    }
    archive_write_close(out);
    archive_write_free(out);
}

// An image of one file of `size` zero bytes, written without holding it.
void writeZeros(const fs::path& path, const std::string& name, std::int64_t size) {
    archive* out = archive_write_new();
    archive_write_add_filter_gzip(out);
    archive_write_set_format_pax_restricted(out);
    ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_perm(e, 0644);
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_size(e, size);
    archive_write_header(out, e);
    const std::string zeros(1 << 20, '\0');
    for (std::int64_t left = size; left > 0; left -= static_cast<std::int64_t>(zeros.size()))
        archive_write_data(out, zeros.data(), static_cast<std::size_t>(std::min<std::int64_t>(left, zeros.size())));
    archive_entry_free(e);
    archive_write_close(out);
    archive_write_free(out);
}

// An image of sparse files: each `size` bytes long, of which the image holds
// only `data`; the rest is a hole.
void writeSparse(const fs::path& path, const std::vector<std::pair<std::string, std::int64_t>>& files,
                 const std::string& data) {
    archive* out = archive_write_new();
    archive_write_add_filter_gzip(out);
    archive_write_set_format_pax(out);
    ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
    for (const auto& [name, size] : files) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, name.c_str());
        archive_entry_set_perm(e, 0644);
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_size(e, size);
        archive_entry_sparse_add_entry(e, size - static_cast<std::int64_t>(data.size()),
                                       static_cast<std::int64_t>(data.size()));
        ASSERT_EQ(archive_write_header(out, e), ARCHIVE_OK);
        archive_write_data(out, data.data(), data.size());
        archive_entry_free(e);
    }
    archive_write_close(out);
    archive_write_free(out);
}

std::vector<std::string> tree(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) names.push_back(e.path().lexically_relative(root).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DiskImageTest, AnImageAttachesReadOnlyAsItWasMadeAndDetachesToNothing) {
    test::TempDir temp;
    const fs::path app = temp / "src" / "Kavri.app";
    fs::create_directories(app / "Contents" / "MacOS");
    std::ofstream(app / "Contents" / "MacOS" / "kavri") << "program";
    fs::permissions(app / "Contents" / "MacOS" / "kavri", fs::perms(0755));
    fs::create_directory_symlink("MacOS", app / "Contents" / "Programs");
    fs::create_symlink("../Contents/Programs/kavri", app / "Contents" / "kavri");  // by way of another link
    DiskImage::create({app}, temp / "Kavri.dmg");

    const fs::path mount = temp / "mount";
    DiskImage::attach(temp / "Kavri.dmg", mount);
    EXPECT_EQ(tree(mount), (std::vector<std::string>{".kavri-image", "Kavri.app", "Kavri.app/Contents",
                                                     "Kavri.app/Contents/MacOS", "Kavri.app/Contents/MacOS/kavri",
                                                     "Kavri.app/Contents/Programs", "Kavri.app/Contents/kavri"}));
    EXPECT_EQ(test::readFile(mount / "Kavri.app/Contents/Programs/kavri"), "program");
    EXPECT_EQ(test::readFile(mount / "Kavri.app/Contents/kavri"), "program");
    EXPECT_EQ(fs::status(mount / "Kavri.app/Contents/MacOS/kavri").permissions(), fs::perms(0555));
    EXPECT_EQ(fs::status(mount / "Kavri.app/Contents").permissions(), fs::perms(0555));

    DiskImage::detach(mount);
    EXPECT_FALSE(fs::exists(mount));
}

TEST(DiskImageTest, AnImageThatLeadsOutOfTheMountPointOrIsCutShortUnpacksNothing) {
    test::TempDir temp;
    // A real image to cut short.
    fs::create_directories(temp / "src" / "Kavri.app");
    std::string big;
    for (int i = 0; i < 200000; ++i) big += std::to_string(i * 7919 % 10007);
    std::ofstream(temp / "src" / "Kavri.app" / "big") << big;
    DiskImage::create({temp / "src" / "Kavri.app"}, temp / "whole.dmg");
    const std::string whole = test::readFile(temp / "whole.dmg");

    struct Case {
        const char* name;
        std::vector<Item> items;  // empty: `bytes`
        std::string bytes = {};
    } cases[] = {
        {"a path that climbs", {{"Kavri.app", Item::folder}, {"../escaped", Item::file, "x"}}},
        {"a path that climbs inside", {{"Kavri.app/../../escaped", Item::file, "x"}}},
        {"an absolute path", {{(temp / "escaped").string(), Item::file, "x"}}},
        {"a link out of the mount point", {{"Kavri.app", Item::folder}, {"Kavri.app/out", Item::link, "../../escaped"}}},
        {"an absolute link", {{"out", Item::link, (temp / "escaped").string()}}},
        // Each target stays inside as text; b leads out by way of a.
        {"a link out by way of another link",
         {{"Kavri.app", Item::folder},
          {"Kavri.app/d2", Item::folder},
          {"Kavri.app/d2/a", Item::link, "../.."},
          {"Kavri.app/d2/b", Item::link, "a/.."}}},
        {"a link out by way of a link that comes later",
         {{"Kavri.app", Item::folder},
          {"Kavri.app/d2", Item::folder},
          {"Kavri.app/d2/b", Item::link, "a/../escaped"},
          {"Kavri.app/d2/a", Item::link, "../.."}}},
        {"links that lead to each other", {{"a", Item::link, "b"}, {"b", Item::link, "a"}}},
        {"a file written through a link",
         {{"Kavri.app", Item::folder}, {"Kavri.app/in", Item::link, "."}, {"Kavri.app/in/x", Item::file, "x"}}},
        {"a hard link", {{"a", Item::file, "x"}, {"b", Item::hardLink, "a"}}},
        {"a special file", {{"pipe", Item::fifo}}},
        {"the mount point's marker", {{".kavri-image", Item::file, "x"}}},
        {"cut in half", {}, whole.substr(0, whole.size() / 2)},
        {"without its last byte", {}, whole.substr(0, whole.size() - 1)},
        {"not an image", {}, "just some text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path image = temp / "bad.dmg";
        if (c.items.empty()) {
            std::ofstream(image, std::ios::binary) << c.bytes;
        } else {
            writeArchive(image, c.items);
        }
        const fs::path mount = temp / "mnt" / "point";
        EXPECT_THROW(DiskImage::attach(image, mount), DiskImage::Error);
        EXPECT_TRUE(fs::is_empty(mount));
        EXPECT_FALSE(fs::exists(temp / "escaped"));
        EXPECT_FALSE(fs::exists(temp / "mnt" / "escaped"));
        fs::remove_all(temp / "mnt");
    }
}

TEST(DiskImageTest, AnImageBeyondItsLimitsUnpacksNothing) {
    test::TempDir temp;
    const DiskImage::Limits limits{.maxBytes = 100, .maxEntries = 4, .maxDepth = 3};
    const fs::path image = temp / "image.dmg", mount = temp / "mnt" / "point";

    // Up to each limit, an image attaches.
    writeArchive(image, {{"a", Item::folder}, {"a/b", Item::folder}, {"a/b/c", Item::file, std::string(60, 'x')},
                         {"a/d", Item::file, std::string(40, 'x')}});
    EXPECT_NO_THROW(DiskImage::attach(image, mount, limits));
    DiskImage::detach(mount);

    struct Case {
        const char* name;
        std::vector<Item> items;
    } cases[] = {
        {"one file too large", {{"a", Item::file, std::string(101, 'x')}}},
        {"files too large together", {{"a", Item::file, std::string(60, 'x')}, {"b", Item::file, std::string(41, 'x')}}},
        {"too many entries",
         {{"a", Item::folder}, {"b", Item::folder}, {"c", Item::folder}, {"d", Item::folder}, {"e", Item::folder}}},
        {"too deep", {{"a/b/c/d", Item::folder}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeArchive(image, c.items);
        EXPECT_THROW(DiskImage::attach(image, mount, limits), DiskImage::Error);
        EXPECT_TRUE(fs::is_empty(mount));
        fs::remove_all(temp / "mnt");
    }

    // Holes count as what they unpack to, not as the bytes the image holds.
    writeSparse(image, {{"a", 60}, {"b", 40}}, "xy");
    DiskImage::attach(image, mount, limits);
    EXPECT_EQ(fs::file_size(mount / "b"), 40u);
    DiskImage::detach(mount);
    writeSparse(image, {{"a", 60}, {"b", 41}}, "xy");
    EXPECT_THROW(DiskImage::attach(image, mount, limits), DiskImage::Error);
    EXPECT_TRUE(fs::is_empty(mount));
}

TEST(DiskImageTest, TheToolRefusesAnEscapeByWayOfALinkAndAnImageThatUnpacksFarBeyondItsSize) {
    test::TempDir temp;
    writeArchive(temp / "escape.dmg", {{"Kavri.app", Item::folder},
                                       {"Kavri.app/d2", Item::folder},
                                       {"Kavri.app/d2/a", Item::link, "../.."},
                                       {"Kavri.app/d2/b", Item::link, "a/.."}});
    writeZeros(temp / "bomb.dmg", "Kavri.app", 400'000'000);
    ASSERT_LT(fs::file_size(temp / "bomb.dmg"), 1'000'000u);
    const std::string hdiutil = std::string(KAVRI_BINARY_DIR) + "/platform/tools/hdiutil";
    for (const char* name : {"escape.dmg", "bomb.dmg"}) {
        SCOPED_TRACE(name);
        const fs::path beside = temp / "mnt", mount = beside / "point";
        const auto result = ProcessRunner::run(
            hdiutil, {"attach", (temp / name).string(), "-nobrowse", "-readonly", "-mountpoint", mount.string()});
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_TRUE(fs::is_empty(mount));
        EXPECT_EQ(tree(beside), std::vector<std::string>{"point"});
        fs::remove_all(beside);
    }
}

TEST(DiskImageTest, DetachRefusesAFolderNoImageFilled) {
    test::TempDir temp;
    fs::create_directories(temp / "home");
    std::ofstream(temp / "home" / "notes") << "keep";
    EXPECT_THROW(DiskImage::detach(temp / "home"), DiskImage::Error);
    EXPECT_EQ(test::readFile(temp / "home" / "notes"), "keep");
}

}  // namespace
}  // namespace kavri
