#include <gtest/gtest.h>

#include <algorithm>

#include "platform/system/ZipExtractor.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "support/ZipBuilder.hpp"

using namespace platform;
using testsupport::ZipBuilder;
namespace fs = std::filesystem;

namespace {

class ZipExtractorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(target);
        fs::create_directories(outside);
    }

    void extract(const ZipBuilder& zip) {
        zip.writeTo(archive);
        ZipExtractor::extract(archive, target);
    }

    // Every file under the test folder that is neither the archive nor inside the target.
    std::vector<fs::path> strayFiles() const {
        std::vector<fs::path> stray;
        for (auto it = fs::recursive_directory_iterator(temp.path());
             it != fs::recursive_directory_iterator(); ++it) {
            if (it->path() == target) {
                it.disable_recursion_pending();
                continue;
            }
            if (it->path() != archive && !it->is_directory()) stray.push_back(it->path());
        }
        return stray;
    }

    testsupport::TempDir temp;
    fs::path archive = temp.path() / "pack.zip";
    fs::path target = temp.path() / "deep" / "staging";
    fs::path outside = temp.path() / "outside";
};

}  // namespace

TEST_F(ZipExtractorTest, ExtractsFilesFoldersAndLinksThatStayInside) {
    extract(ZipBuilder()
                .folder("pack/")
                .file("pack/a.txt", "alpha")
                .file("pack/sub/b.txt", std::string(50000, 'b'))
                .file("./c.txt", "gamma")
                .symlink("pack/sub/up", "../a.txt")
                .symlink("top", "pack/sub"));
    EXPECT_EQ(testsupport::readFile(target / "pack" / "a.txt"), "alpha");
    EXPECT_EQ(testsupport::readFile(target / "pack" / "sub" / "b.txt"), std::string(50000, 'b'));
    EXPECT_EQ(testsupport::readFile(target / "c.txt"), "gamma");
    EXPECT_EQ(fs::read_symlink(target / "pack" / "sub" / "up"), "../a.txt");
    EXPECT_EQ(testsupport::readFile(target / "top" / "b.txt"), std::string(50000, 'b'));
}

TEST_F(ZipExtractorTest, RefusesEntriesThatWouldLandOutsideTheTarget) {
    const std::string absolute = (outside / "abs.txt").string();
    const struct {
        const char* name;
        ZipBuilder zip;
    } cases[] = {
        {"parent entry", ZipBuilder().file("../evil.txt", "x")},
        {"deep parent entry", ZipBuilder().file("pack/../../evil.txt", "x")},
        {"parent in the middle", ZipBuilder().file("pack/../x.txt", "x")},
        {"absolute entry", ZipBuilder().file(absolute, "x")},
        {"absolute link", ZipBuilder().symlink("link", outside.string())},
        {"link climbing out", ZipBuilder().symlink("pack/link", "../../outside")},
        {"link through a link",
         ZipBuilder().symlink("here", ".").symlink("away", "here/../outside")},
        {"writing through a link", ZipBuilder().symlink("link", ".").file("link/x.txt", "x")},
        {"good entries first", ZipBuilder().file("ok.txt", "fine").file("../evil.txt", "x")},
    };
    for (const auto& c : cases) {
        fs::remove_all(target);
        fs::create_directories(target);
        EXPECT_THROW(extract(c.zip), ArchiveError) << c.name;
        EXPECT_TRUE(strayFiles().empty()) << c.name << ": " << strayFiles().front();
        EXPECT_FALSE(fs::exists(outside / "evil.txt")) << c.name;
    }
}

TEST_F(ZipExtractorTest, RefusesDamagedArchives) {
    const std::string good =
        ZipBuilder().file("a.txt", std::string(20000, 'a') + "tail").file("b.txt", "beta").bytes();
    std::string flipped = good;
    flipped[60] ^= 0x55;  // inside the first entry's compressed data
    const std::string good64 = ZipBuilder().zip64().file("a.txt", "alpha").bytes();
    // `bytes` with the 16 bits at `at` from its end record's start made `value`.
    const auto lying = [](std::string bytes, size_t at, uint16_t value, size_t endRecord = 22) {
        bytes[bytes.size() - endRecord + at] = char(value & 0xff);
        bytes[bytes.size() - endRecord + at + 1] = char(value >> 8);
        return bytes;
    };
    // The first entry's size deferred to a Zip64 field (its first extra
    // field of 8 bytes or more, made Zip64's) that says 2^64 - 1 bytes.
    std::string huge = good;
    const size_t entry = huge.find("PK\x01\x02");
    size_t x = entry + 46 + uint8_t(huge[entry + 28]);
    while (uint8_t(huge[x + 2]) < 8) x += 4 + uint8_t(huge[x + 2]);
    huge.replace(x, 2, "\x01\x00", 2)
        .replace(x + 4, 8, 8, '\xff')
        .replace(entry + 24, 4, 4, '\xff');
    const struct {
        const char* name;
        std::string bytes;
        bool directorySound = false;  // only an entry's data is damaged
        // Unpacked all the same, from the entries' own headers: the archive
        // on disk is the one that is measured before it is unpacked.
        bool unpacks = false;
    } cases[] = {
        {"not an archive", "<html>Service unavailable</html>"},
        {"empty file", ""},
        {"truncated", good.substr(0, good.size() / 2)},
        {"flipped data", flipped, true},
        {"more entries declared than the directory holds", lying(lying(good, 8, 0xff), 10, 0xff),
         false, true},
        {"a directory said to lie past the end", lying(good, 18, 0x7fff), false, true},
        {"a Zip64 end record said to lie past the end", lying(good64, 14, 0x7fff, 42), false, true},
        {"a Zip64 end record declaring more entries than the directory holds",
         lying(lying(good64, 24, 0xff, 98), 32, 0xff, 98), false, true},
        {"an entry's Zip64 size past any archive", huge},
    };
    for (const auto& c : cases) {
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << c.bytes;
        if (!c.unpacks) {
            EXPECT_THROW(ZipExtractor::extract(archive, target), ArchiveError) << c.name;
        }
        // The directory alone, as read ahead of a download, refuses it too.
        if (!c.directorySound) {
            EXPECT_THROW(ZipExtractor::declaredContents({c.bytes.size(), 0, c.bytes}, {}),
                         ArchiveError)
                << c.name;
        }
    }
    EXPECT_THROW(ZipExtractor::extract(temp.path() / "missing.zip", target), ArchiveError);
    EXPECT_THROW(ZipExtractor::extract(archive, temp.path() / "missing-folder"), ArchiveError);
}

namespace {

// What the target folder holds, as "name=content" lines, folders as "name/".
std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const auto name = fs::relative(e.path(), root).string();
        out.push_back(e.is_directory() ? name + "/"
                                       : name + "=" + std::to_string(fs::file_size(e.path())));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

// A failed extraction takes back what it wrote and leaves what was there.
TEST_F(ZipExtractorTest, ArchivesPastTheLimitsOrCutShortLeaveNothingBehind) {
    ZipExtractor::Limits oneMB, threeEntries, ratioTwo;
    oneMB.maxBytes = 1 << 20;
    threeEntries.maxEntries = 3;
    ratioTwo.maxRatio = 2;
    const std::string cut = ZipBuilder()
                                .stored()
                                .file("pack/first.bin", testsupport::incompressibleBytes(100000))
                                .file("pack/second.bin", testsupport::incompressibleBytes(400000))
                                .bytes();
    const struct {
        const char* name;
        std::string bytes;
        ZipExtractor::Limits limits;
    } cases[] = {
        {"one entry over the total",
         ZipBuilder().file("a.txt", "a").file("big.bin", std::string(2 << 20, '\0')).bytes(),
         oneMB},
        {"entries adding up past the total",
         ZipBuilder()
             .file("sub/a", std::string(600000, '\0'))
             .file("sub/b", std::string(600000, '\0'))
             .bytes(),
         oneMB},
        {"too many entries",
         ZipBuilder().file("1", "").file("2", "").file("3", "").file("4", "").bytes(),
         threeEntries},
        {"a bomb by ratio", ZipBuilder().file("zeros", std::string(3 << 20, '\0')).bytes(),
         ratioTwo},
        {"cut inside the second entry's data", cut.substr(0, cut.size() - 200000), {}},
    };
    for (const auto& c : cases) {
        fs::remove_all(target);
        fs::create_directories(target / "sub");
        std::ofstream(target / "mine.txt") << "mine";
        const auto before = listing(target);
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << c.bytes;
        EXPECT_THROW(ZipExtractor::extract(archive, target, c.limits), ArchiveError) << c.name;
        EXPECT_EQ(listing(target), before) << c.name;
        // What the headers declare is past the limits too, before a byte is written.
        if (&c != &cases[4]) {
            EXPECT_THROW(ZipExtractor::declaredContents(archive, c.limits), ArchiveError) << c.name;
        }
    }
    // Within the defaults the same bomb unpacks, to what its directory declares.
    std::ofstream(archive, std::ios::binary | std::ios::trunc) << cases[3].bytes;
    ZipExtractor::extract(archive, target);
    EXPECT_EQ(fs::file_size(target / "zeros"), 3u << 20);
    EXPECT_EQ(ZipExtractor::declaredContents(archive, {}).value_or(ZipExtractor::Contents{}).bytes,
              3u << 20);

    // Read from its end alone, as ahead of a download, an archive declares
    // what its headers on disk do: folders and links, stored data, Zip64's
    // end records, a directory reaching back past the end record's reach.
    ZipBuilder many;
    for (int i = 0; i < 3000; ++i) many.file("pack/part-" + std::to_string(i), "x");
    for (const ZipBuilder& zip :
         {ZipBuilder().folder("d/").file("d/a", "alpha").symlink("d/l", "a"),
          ZipBuilder().stored().file("s", testsupport::incompressibleBytes(70000)),
          ZipBuilder().zip64().file("z", std::string(100000, 'z')), many,
          ZipBuilder(many).zip64()}) {
        const std::string bytes = zip.bytes();
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << bytes;
        const auto onDisk = ZipExtractor::declaredContents(archive, {});
        ASSERT_TRUE(onDisk);
        std::uint64_t at = bytes.size(), from = at - std::min(at, ZipExtractor::kEndReach);
        while (from < at) {
            at = from;
            from = ZipExtractor::directoryStart(
                {bytes.size(), at, std::string_view(bytes).substr(at)});
        }
        const auto ahead = ZipExtractor::declaredContents(
            {bytes.size(), at, std::string_view(bytes).substr(at)}, {});
        // A link's target (one byte here) counts too: the more of the two.
        EXPECT_GE(ahead.bytes, onDisk->bytes) << bytes.size();
        EXPECT_LE(ahead.bytes, onDisk->bytes + 1) << bytes.size();
        EXPECT_EQ(ahead.entries, onDisk->entries) << bytes.size();
    }
}

// A disk that fills while unpacking gives the disk's error, naming the file,
// and takes back what was written.
TEST_F(ZipExtractorTest, AFullDiskIsTheDisksErrorAndLeavesNothingBehind) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    const fs::path staging = disk / "staging";
    fs::create_directories(staging);
    ZipBuilder()
        .stored()
        .file("pack/small.txt", "fits")
        .file("pack/weights.bin", testsupport::incompressibleBytes(3 << 20))
        .writeTo(archive);
    try {
        ZipExtractor::extract(archive, staging);
        ADD_FAILURE() << "unpacked more than the disk holds";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
        EXPECT_EQ(e.path1().filename(), "weights.bin") << e.what();
    }
    EXPECT_TRUE(fs::is_empty(staging));
}

// Asked to stop (an app quitting while a model pack unpacks), the extraction
// ends at the next entry or block of data, takes back what it wrote, and says
// it was stopped, not that the archive is damaged.
TEST_F(ZipExtractorTest, AStopEndsTheExtractionAndLeavesNothingBehind) {
    ZipBuilder zip;
    zip.stored();
    for (int i = 0; i < 6; ++i)
        zip.file("pack/" + std::to_string(i) + ".bin", testsupport::incompressibleBytes(300000));
    zip.writeTo(archive);
    const struct {
        const char* name;
        int askedBeforeStop;  // answers "go on" this many times
    } cases[] = {
        {"before the first entry", 0}, {"in the first entry's data", 2}, {"a few entries in", 25}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(target);
        fs::create_directories(target);
        std::ofstream(target / "mine.txt") << "mine";
        const auto before = listing(target);
        int asked = 0;
        EXPECT_THROW(ZipExtractor::extract(archive, target, {},
                                           [&] { return asked++ >= c.askedBeforeStop; }),
                     ExtractionStopped);
        EXPECT_EQ(listing(target), before);
    }
    // Never asked to stop: everything arrives, the stop asked all along.
    int asked = 0;
    ZipExtractor::extract(archive, target, {}, [&] { return ++asked < 0; });
    EXPECT_EQ(fs::file_size(target / "pack" / "5.bin"), 300000u);
    EXPECT_GT(asked, 6);
}
