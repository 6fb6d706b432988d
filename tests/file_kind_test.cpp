// What kind a file is, both ways it was misread: a song the MOD repair reads is a module whatever its
// bytes at the tables' addresses happen to be (unless it is exactly an image, or signed), and a plausible
// image is an image whatever libsndfile guesses of a format without marks of its own. And one file, one
// answer: what libxmp's Images Music System probe claims of a file shorter than a MOD's header (reading
// past its end) is not taken.
#include <gtest/gtest.h>

#include <sndfile.h>

#include "examples/demo_song.h"
#include "fuzz/test_modules.h"
#include "import/import.h"
#include "import/load.h"
#include "nibtool/file_kind.h"
#include "rom/test_roms.h"
#include "scratch_folder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A 15-sample song libxmp turns away (a volume above 64) that the MOD repair reads, of two long
// samples: about 37 KB.
Bytes longUntaggedSong() {
    ModLayout layout = smallModLayout();
    layout.tag = "";
    layout.samples = {{"long", 9000, 0, 65, 0, 1}, {"longer", 9000, 0, 64, 0, 1}};
    return buildMod(layout);
}

// Song 0's table entry pointing into the file's data, as the bytes of a sample can by chance.
Bytes pointingIn(Bytes bytes) {
    bytes[0x7F8E] = 0x80, bytes[0x7F8F] = 0x40;
    return bytes;
}

// An image whose order list starts with the two bytes libsndfile takes an Akai MPC 2000 sample by, and
// holds a rate where that sample's header keeps it (bytes 39-40, little-endian).
Bytes mpcLooking(Bytes rom) {
    rom[0] = 0x01, rom[1] = 0x04;
    rom[39] = 0x40, rom[40] = 0x1F;
    return rom;
}

// Whether libsndfile opens the bytes as a sound file.
bool libsndfileOpens(const ScratchFolder& folder, const Bytes& bytes) {
    SF_INFO info{};
    SNDFILE* f = sf_open(folder.write("probe", bytes).c_str(), SFM_READ, &info);
    if (f) sf_close(f);
    return f != nullptr;
}

TEST(FileKind, BothWays) {
    ScratchFolder folder("file-kind-test");
    const Bytes untagged = pointingIn(longUntaggedSong());
    ASSERT_GT(untagged.size(), 32768u);
    ASSERT_EQ(moduleFormat(untagged), ""); // libxmp turns it away; the MOD repair reads it
    Bytes exact = untagged;
    exact.resize(32768);
    ImportResult signedRom;
    std::string error;
    ASSERT_TRUE(importModule(buildMod(smallModLayout()), ImportOptions{}, signedRom, error)) << error;
    Bytes signedLong = signedRom.rom; // a signed image with bytes past its 32 KB
    signedLong.resize(40000, 0x55);
    const Bytes cutMod = [] {
        Bytes mod = pointingIn(buildMod([] {
            ModLayout l = smallModLayout();
            l.samples = {{"long", 20000, 0, 64, 0, 1}};
            return l;
        }()));
        mod.resize(mod.size() - 1000);
        return mod;
    }();

    struct Case {
        std::string name;
        Bytes bytes;
        FileKind kind;
    };
    std::vector<Case> cases = {
        {"a repaired 15-sample song of 37 KB whose table bytes point into it", untagged, FileKind::Module},
        {"a MOD cut in its samples whose table bytes point into it", cutMod, FileKind::Module},
        {"that song cut to exactly 32768 bytes", exact, FileKind::Rom},
        {"a signed image with bytes past its 32 KB", signedLong, FileKind::Rom},
        {"the demo song's image", demoSong().build(), FileKind::Rom},
        {"the demo song's image, 0x01 0x04 first", mpcLooking(demoSong().build()), FileKind::Rom},
        {"an imported image, 0x01 0x04 first", mpcLooking(signedRom.rom), FileKind::Rom},
    };
    for (const NamedRom& song : effectSongs(6, 25)) {
        cases.push_back({"effect song " + song.name, song.bytes, FileKind::Rom});
        cases.push_back(
            {"effect song " + song.name + ", 0x01 0x04 first", mpcLooking(song.bytes), FileKind::Rom});
    }
    EXPECT_TRUE(libsndfileOpens(folder, mpcLooking(demoSong().build()))); // the guess the image outranks
    for (const Case& c : cases) {
        InputFile file;
        EXPECT_TRUE(readInput(folder.write("file", c.bytes), false, file, error)) << c.name << ": " << error;
        EXPECT_EQ(file.kind, c.kind) << c.name;
    }
}

// A file libxmp's "Images Music System" probe takes for one when whole is not taken for a module when
// cut short of a MOD's 1084-byte header, however often it is read: the probe would read the rest of its
// order list and tag from memory the file never set.
TEST(FileKind, ShortFilesGetOneAnswer) {
    Bytes ims(1084, 0);
    for (std::size_t i = 0; i < 20; ++i)
        ims[i] = 'a';
    for (std::size_t s = 0; s < 31; ++s) {
        const std::size_t at = 20 + 30 * s;
        for (std::size_t k = 0; k < 20; ++k)
            ims[at + k] = 'b';
        ims[at + 23] = 8; // 8 words
        ims[at + 25] = 64;
    }
    ims[950] = 1;     // one order position
    ims[1083] = 0x3C; // the tag's last byte
    ASSERT_EQ(moduleFormat(ims), "Images Music System");
    for (const std::size_t size : {952u, 1000u, 1080u, 1083u}) {
        const Bytes cut(ims.begin(), ims.begin() + std::ptrdiff_t(size));
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(moduleFormat(cut), "") << size;
            LoadedModule loaded;
            std::string error;
            EXPECT_FALSE(loadModule(cut, loaded, error)) << size;
        }
    }
}

} // namespace
