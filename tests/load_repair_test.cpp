// Four-channel MODs that libxmp refuses as they are: each is built in code, refused by libxmp, repaired
// and loaded, with the song and samples it should have. What neither loads is refused with one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "fuzz/test_modules.h"
#include "import/load.h"
#include "import/truncation.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool libxmpTakes(const Bytes& bytes) {
    const xmp_context ctx = xmp_create_context();
    const bool taken = xmp_load_module_from_memory(ctx, bytes.data(), static_cast<long>(bytes.size())) == 0;
    if (taken) xmp_release_module(ctx);
    xmp_free_context(ctx);
    return taken;
}

// An order list of `length` entries that starts with `first`, the rest pattern 0.
std::vector<int> orders(std::vector<int> first, std::size_t length) {
    first.resize(length, 0);
    return first;
}

// The lines of the losses of some kinds (all kinds when none is named).
std::vector<std::string> lines(const std::vector<Loss>& losses, std::vector<LossKind> kinds = {}) {
    std::vector<std::string> out;
    for (const Loss& loss : losses)
        if (kinds.empty() || std::find(kinds.begin(), kinds.end(), loss.kind) != kinds.end())
            out.push_back(loss.text);
    return out;
}

Bytes cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

// smallModLayout's song: positions 0 1 0 over two patterns; sample 1 of 1200 bytes, sample 2 of 800 that
// loops from word 100. `change` alters the layout before it is built.
Bytes smallMod(const std::function<void(ModLayout&)>& change) {
    ModLayout layout = smallModLayout();
    change(layout);
    return buildMod(layout);
}

// The same song in the untagged 15-sample layout, where sample 2's loop start of 100 is in bytes.
Bytes small15(const std::function<void(ModLayout&)>& change) {
    return smallMod([&](ModLayout& s) {
        s.tag = "";
        change(s);
    });
}

// An early Soundtracker song: tempo 120 in the restart byte, commands 1 (arpeggio) and 2 (pitch bend).
Bytes earlySoundtracker() {
    return small15([](ModLayout& s) {
        s.restart = 0x78;
        s.cells.resize(32); // the notes only
        s.cells.push_back({0, 4, 1, 0, 0, 0x1, 0x37});
        s.cells.push_back({0, 8, 1, 0, 0, 0x2, 0x03});
        s.cells.push_back({0, 12, 1, 0, 0, 0x2, 0x50});
        s.samples[0].volume = 70; // what libxmp refuses
    });
}

struct RepairCase {
    const char* name;
    Bytes file;
    std::string repair;               // a line the report holds
    std::vector<int> orders;          // the loaded song
    std::vector<int> sampleBytes;     // samples 1 and 2 as libxmp holds them
    std::vector<int> volumes{64, 48}; // of samples 1 and 2
};

std::vector<RepairCase> repairCases() {
    const Bytes full = smallMod([](ModLayout&) {});
    const std::vector<int> song{0, 1, 0}, both{1200, 800}, both15{1200, 700};
    return {
        {"unknown tag", smallMod([](ModLayout& s) { s.tag = "LARD"; }),
         "the unknown format tag 'LARD' is read as a four-channel 'M.K.'", song, both},
        {"volume above 64",
         smallMod([](ModLayout& s) { s.samples[1].volume = 80; }),
         "sample 2: volume above 64, set to 64",
         song,
         both,
         {64, 64}},
        {"finetune byte above 15", smallMod([](ModLayout& s) { s.samples[0].finetune = 0x35; }),
         "sample 1: finetune byte above 15, its low nibble kept", song, both},
        {"song length above 128", smallMod([](ModLayout& s) { s.length = 200, s.samples[0].volume = 99; }),
         "song length 200 is outside 1-128: it is taken as 128", orders({0, 1, 0}, 128), both},
        {"restart past the end", smallMod([](ModLayout& s) { s.restart = 90, s.samples[0].volume = 99; }),
         "restart position 90 is past the song's end (length 3): the song restarts from position 0", song,
         both},
        {"order entry above 127",
         smallMod([](ModLayout& s) { s.orders[1] = 200, s.samples[0].volume = 99; }),
         "order position 1 names a pattern above 127: pattern 0 plays there",
         {0, 0, 0},
         both},
        {"loop past the sample's end",
         smallMod([](ModLayout& s) { s.samples[1].loopWords = 350, s.samples[0].volume = 99; }),
         "sample 2: loop running past the sample's end, cut to end with it", song, both},
        {"cells naming samples above 31 in three patterns",
         smallMod([](ModLayout& s) {
             s.patterns = 3, s.length = 3, s.orders = {0, 1, 2};
             for (std::size_t p = 0; p < 3; ++p)
                 s.cells.push_back({p, 1, 0, 0x52, 428, 0, 0});
         }),
         "3 cells name a sample above 31: the sample number is dropped",
         {0, 1, 2},
         both},
        {"patterns named only past the song's end",
         smallMod([](ModLayout& s) { s.orders = {0, 1, 0, 0, 0, 9}; }),
         "order entries 5, past the song's end, name patterns the file does not hold: they are cleared", song,
         both},
        {"unknown tag, cut inside sample 2",
         cut(smallMod([](ModLayout& s) { s.tag = "LARD"; }), full.size() - 500),
         "the file ends inside sample 2 \"loop\" (300 of 800 bytes): the sample is cut there",
         song,
         {1200, 300}},
        {"15 samples, volume above 64", small15([](ModLayout& s) { s.samples[0].volume = 80; }),
         "the untagged 15-sample song is rewritten as a 31-sample module", song, both15},
        {"15 samples, finetune byte 0x20", small15([](ModLayout& s) { s.samples[1].finetune = 0x20; }),
         "sample 2: played from the loop start, as 15-sample songs are", song, both15},
        {"15 samples, a sample over 64 KB",
         small15([](ModLayout& s) { s.samples[0].words = 0x9000; }),
         "sample 1: longer than a 15-sample song's 64 KB, cut to 65534 bytes",
         song,
         {65534, 700}},
        {"15 samples, loop start at the sample's end",
         small15([](ModLayout& s) { s.samples[0].loopStart = 1200, s.samples[0].loopWords = 10; }),
         "sample 1: loop starting past the sample's end, dropped", song, both15},
        {"15 samples, cut inside sample 1",
         cut(small15([](ModLayout&) {}), 600 + 2048 + 500),
         "the file ends inside sample 1 \"triangle\" (500 of 1200 bytes): the sample is cut there",
         song,
         {500, 0},
         {64, 0}},
        {"15 samples, song length 129", small15([](ModLayout& s) { s.length = 129; }),
         "song length 129 is outside 1-128: it is taken as 128", orders({0, 1, 0}, 128), both15},
        {"early Soundtracker", earlySoundtracker(),
         "the untagged 15-sample song is rewritten as a 31-sample module", song, both15},
    };
}

std::vector<int> orderList(const xmp_module& m) {
    return std::vector<int>(m.xxo, m.xxo + m.len);
}

TEST(RepairMod, LoadsWhatLibxmpRefuses) {
    for (const RepairCase& c : repairCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(libxmpTakes(c.file));
        LoadedModule loaded;
        std::string error;
        ASSERT_TRUE(loadModule(c.file, loaded, error)) << error;
        const std::vector<std::string> said = lines(loaded.repairs);
        EXPECT_NE(std::find(said.begin(), said.end(), c.repair), said.end())
            << ::testing::PrintToString(said);
        const xmp_module& m = loaded.module();
        EXPECT_EQ(m.chn, 4);
        EXPECT_EQ(orderList(m), c.orders);
        for (std::size_t i = 0; i < c.sampleBytes.size(); ++i) {
            EXPECT_EQ(m.xxs[i].len, c.sampleBytes[i]) << "sample " << i + 1;
            EXPECT_EQ(m.xxi[i].sub[0].vol, c.volumes[i]) << "sample " << i + 1;
        }
    }
}

// 1xy is the arpeggio, 2-0y a slide up, 2-x0 a slide down; the tempo byte is no restart position (the
// timing stage plays its tempo).
TEST(RepairMod, EarlySoundtrackerCommands) {
    LoadedModule loaded;
    std::string error;
    ASSERT_TRUE(loadModule(earlySoundtracker(), loaded, error)) << error;
    const xmp_module& m = loaded.module();
    const auto event = [&](int row, int channel) { return m.xxt[m.xxp[0]->index[channel]]->event[row]; };
    EXPECT_EQ(m.rst, 0);
    struct Expect {
        int row, channel, fxt, fxp;
    };
    for (const Expect& e : {Expect{4, 1, 0x0, 0x37}, Expect{8, 1, 0x1, 0x03}, Expect{12, 1, 0x2, 0x05}}) {
        EXPECT_EQ(event(e.row, e.channel).fxt, e.fxt) << "row " << e.row;
        EXPECT_EQ(event(e.row, e.channel).fxp, e.fxp) << "row " << e.row;
    }
}

// A file that ends inside its patterns keeps what it holds; the rest of the pattern is empty. With no
// sample data left there is nothing to import, and the refusal says so in one line.
TEST(RepairMod, PatternsCutShort) {
    const Bytes file = cut(smallMod([](ModLayout&) {}), 1084 + 1024 + 512 + 8);
    EXPECT_FALSE(libxmpTakes(file));
    Bytes repaired;
    std::vector<Loss> repairs;
    ASSERT_TRUE(repairMod(file, repaired, repairs));
    EXPECT_EQ(repaired.size(), 1084u + 2048u);
    EXPECT_EQ(lines(repairs, {LossKind::FileCut}),
              (std::vector<std::string>{
                  "the file is cut short: it holds 2628 of the 5132 bytes its headers describe",
                  "samples 1, 2 lie past the file's end: they are silent",
                  "the file ends inside pattern 1 (line 32): the rest of it is silent"}));
    const xmp_context ctx = xmp_create_context();
    ASSERT_EQ(xmp_load_module_from_memory(ctx, repaired.data(), static_cast<long>(repaired.size())), 0);
    xmp_module_info info;
    xmp_get_module_info(ctx, &info);
    const xmp_module& m = *info.mod;
    const auto note = [&](int row, int channel) { return m.xxt[m.xxp[1]->index[channel]]->event[row].note; };
    EXPECT_NE(note(28, 3), 0); // held by the file
    EXPECT_NE(note(32, 0), 0); // the line it ends in keeps the cells it holds
    EXPECT_EQ(note(36, 1), 0); // past its end: smallModLayout puts a note here
    xmp_release_module(ctx);
    xmp_free_context(ctx);

    LoadedModule loaded;
    std::string error;
    EXPECT_FALSE(loadModule(file, loaded, error));
    EXPECT_EQ(error,
              "the file ends before its samples: it holds 2628 of the 5132 bytes its headers describe");
}

// Variants libxmp takes as they are: no repair is made.
TEST(RepairMod, TakenAsTheyAre) {
    const Bytes full = smallMod([](ModLayout&) {});
    const std::pair<const char*, Bytes> files[] = {
        {"M&K!", smallMod([](ModLayout& s) { s.tag = "M&K!"; })},
        {"FLT4", smallMod([](ModLayout& s) { s.tag = "FLT4"; })},
        {"15 samples", small15([](ModLayout&) {})},
        {"cut inside sample 2", cut(full, full.size() - 500)},
    };
    for (const auto& [name, file] : files) {
        LoadedModule loaded;
        std::string error;
        EXPECT_TRUE(loadModule(file, loaded, error)) << name << ": " << error;
        EXPECT_TRUE(lines(loaded.repairs, {LossKind::Repair}).empty()) << name;
    }
}

// Neither libxmp nor a repair loads these; each refusal is one line.
TEST(RepairMod, RefusesWhatIsNotAFourChannelMod) {
    Bytes text;
    while (text.size() < 4000)
        for (char c : std::string("nothing here is a module; "))
            text.push_back(static_cast<std::uint8_t>(c));
    Bytes noise(5000);
    std::uint32_t seed = 12345;
    for (std::uint8_t& b : noise)
        b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    Bytes modText = text;
    for (std::size_t i = 0; i < 4; ++i)
        modText[1080 + i] = static_cast<std::uint8_t>("M.K."[i]);
    const std::pair<const char*, Bytes> files[] = {
        {"empty", {}},
        {"zeros", Bytes(4000, 0)},
        {"text", text},
        {"noise", noise},
        {"text with a M.K. tag", modText},
        {"8CHN cut inside its patterns", cut(smallMod([](ModLayout& s) { s.tag = "8CHN"; }), 2000)},
        {"cut before the tag", cut(smallMod([](ModLayout&) {}), 1000)},
        {"unknown tag cut inside the first pattern",
         cut(smallMod([](ModLayout& s) { s.tag = "LARD"; }), 1500)},
        {"15 samples, song length 0", small15([](ModLayout& s) { s.length = 0; })},
        {"15 samples, every sample empty", small15([](ModLayout& s) { s.samples.clear(); })},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        Bytes repaired;
        std::vector<Loss> repairs;
        EXPECT_FALSE(repairMod(file, repaired, repairs));
        LoadedModule loaded;
        std::string error;
        EXPECT_FALSE(loadModule(file, loaded, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

} // namespace

namespace {

// An S3M, XM or IT file cut short loads as libxmp takes it, and the load names what the cut lost.
TEST(LoadTruncated, NamesWhatAFileCutShortLost) {
    struct Case {
        const char* format;
        Bytes whole;
    };
    for (const Case& c : {Case{"S3M", tinyS3m()}, Case{"XM", tinyXm()}, Case{"IT", tinyIt()}}) {
        LoadedModule whole;
        std::string error;
        ASSERT_TRUE(loadModule(c.whole, whole, error)) << c.format << ": " << error;
        EXPECT_TRUE(whole.repairs.empty()) << c.format << ": " << whole.repairs[0].text;
        // Cut inside the last sample, then so that the last sample lies wholly past the end.
        struct Cut {
            std::size_t bytes;
            const char* line;
        };
        for (const Cut& k : {Cut{8, "the file ends inside sample "}, Cut{0, " past the file's end"}}) {
            Bytes bytes = c.whole;
            if (k.bytes > 0) {
                bytes.resize(bytes.size() - k.bytes);
            } else { // the last sample is the file's last bytes: cut where its data starts
                for (; !bytes.empty(); bytes.pop_back()) {
                    const std::vector<std::string> lines = truncationReport(bytes);
                    if (!lines.empty() && lines.back().find("past") != std::string::npos) break;
                }
            }
            LoadedModule cutShort;
            ASSERT_TRUE(loadModule(bytes, cutShort, error)) << c.format << ": " << error;
            const std::vector<std::string> said = lines(cutShort.repairs, {LossKind::FileCut});
            ASSERT_GE(said.size(), 2u) << c.format;
            EXPECT_EQ(said[0].rfind("the file is cut short: it holds " + std::to_string(bytes.size()), 0), 0u)
                << c.format << ": " << said[0];
            EXPECT_NE(said[1].find(k.line), std::string::npos) << c.format << ": " << said[1];
        }
    }
}

} // namespace
