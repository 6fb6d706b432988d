// What nibtool play and its children say to each other: every kind of message comes back from its bytes
// as it was (written again, the same bytes; a song, the same sound), bytes cut anywhere are not yet a
// message, and bytes that no encoder writes are refused.
#include <gtest/gtest.h>

#include <cstring>

#include "fuzz/test_modules.h"
#include "nibtool/play/message.h"
#include "nibtool/play/song.h"
#include "rom/signature.h"
#include "scratch_folder.h"

namespace {

// A song made ready from a file, as a child makes it, with states near `near`.
Playable prepared(const std::string& path, const SongRequest& request, const Place& near) {
    SongFile file;
    std::string error;
    EXPECT_TRUE(openSong(path, request, file, error)) << error;
    Playable song;
    prepareSong(std::move(file), song);
    addResumes(song, &near, 2);
    return song;
}

// Three songs with effects, their own streams for them, a song that ends and a title each.
std::vector<std::uint8_t> bankRom() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000).sample(2, 0x9000, 0x9040, 0, 0);
    for (std::uint8_t n = 0; n < 3; ++n) {
        const auto at = static_cast<std::uint16_t>(0x8000 + 0x400 * n);
        rom.song(n, at).orders(at, {0, 0});
        for (std::uint8_t line = 0; line < 64; line += 4)
            rom.cell(at, 0, line, line % 4, {1, static_cast<std::uint8_t>(20 + line % 13)});
    }
    std::vector<std::uint8_t> bytes = rom.build();
    RomSignature signature;
    signature.rate = 11025;
    signature.titles = {"title", "level", "win"};
    signature.effects = {{2, 27, "jump"}, {1, 20, "coin"}};
    signature.songs = {{false, {{3, 40}, {2, 10}}}, {false, {{1, 0}, {0, 5}}}, {true, {{2, 0}, {3, 0}}}};
    EXPECT_TRUE(writeSignature(bytes, signature));
    return bytes;
}

// The bytes `song` plays from its start, then from where the song is `offered` from line 20 on.
std::vector<std::uint8_t> played(std::shared_ptr<const Playable> song) {
    SongPlayer player({});
    player.start(song);
    std::vector<std::uint8_t> out(20000);
    player.fill(out.data(), 10000);
    player.offer(song);
    player.fill(out.data() + 10000, 10000);
    return out;
}

ChildMessage message(ChildMessage::Kind kind) {
    ChildMessage m;
    m.kind = kind;
    return m;
}

TEST(PlayMessage, EveryKindComesBackAsItWas) {
    const ScratchFolder folder("play-message-test");
    // A MOD cut inside its second sample: its import names what the cut lost.
    std::vector<std::uint8_t> cut = buildMod(smallModLayout());
    cut.resize(cut.size() - 100);
    SongRequest atRate;
    atRate.rate = 16000;
    SongRequest songTwo;
    songTwo.song = 2;
    songTwo.forceRom = true;

    std::vector<ChildMessage> cases;
    ChildMessage prepare = message(ChildMessage::Kind::Prepare);
    prepare.path = "/tmp/a song\n\xC3\xA9.mod";
    prepare.request.rate = 22050;
    prepare.request.forceRom = true;
    prepare.request.song = 3;
    prepare.request.previewSeconds = 8.125;
    prepare.request.previewFrom = 61.3;
    prepare.ask = true;
    cases.push_back(prepare);
    cases.push_back(message(ChildMessage::Kind::Prepare)); // no rate asked: the file's own
    cases.push_back(message(ChildMessage::Kind::Asking));
    for (const Place place : {Place{}, Place{255, 255}, Place{3, 17}}) {
        ChildMessage m = message(ChildMessage::Kind::Place);
        m.place = place;
        cases.push_back(m);
    }
    ChildMessage module = message(ChildMessage::Kind::Loaded);
    module.song = prepared(folder.write("cut.mod", cut), atRate, {1, 12});
    module.song.preview = true;
    module.song.startCall = 1234;
    ASSERT_FALSE(module.song.cutShort.empty());
    ASSERT_FALSE(module.song.origins.empty());
    ASSERT_GT(module.song.resumes.size(), 1u);
    cases.push_back(module);
    ChildMessage bank = message(ChildMessage::Kind::Loaded);
    bank.song = prepared(folder.write("bank.rom", bankRom()), songTwo, {0, 30});
    bank.song.warnings = {"a warning"};
    bank.song.notes = {"a note", ""};
    ASSERT_EQ(bank.song.effectStreams, (std::vector<std::uint8_t>{2, 3}));
    cases.push_back(bank);
    ChildMessage failed = message(ChildMessage::Kind::Failed);
    failed.error = "'x.mod' is text, not a ROM image or a module";
    cases.push_back(failed);

    for (const ChildMessage& sent : cases) {
        SCOPED_TRACE(static_cast<int>(sent.kind));
        const std::vector<std::uint8_t> bytes = encodeMessage(sent);
        ChildMessage got;
        std::size_t used = 0;
        ASSERT_EQ(decodeMessage(bytes.data(), bytes.size(), got, used), Decoded::Whole);
        EXPECT_EQ(used, bytes.size());
        EXPECT_EQ(got.kind, sent.kind);
        EXPECT_EQ(encodeMessage(got), bytes) << "written again, the same bytes";
        EXPECT_EQ(got.path, sent.path);
        EXPECT_EQ(got.request.rate, sent.request.rate);
        EXPECT_EQ(got.request.previewFrom, sent.request.previewFrom);
        EXPECT_EQ(got.place, sent.place);
        EXPECT_EQ(got.error, sent.error);
        if (sent.kind != ChildMessage::Kind::Loaded) continue;
        const Playable& s = got.song;
        EXPECT_EQ(s.cutShort, sent.song.cutShort);
        EXPECT_EQ(s.effectStreams, sent.song.effectStreams);
        EXPECT_EQ(s.facts.lines.size(), sent.song.facts.lines.size());
        EXPECT_EQ(s.facts.callsFor(3), sent.song.facts.callsFor(3));
        ASSERT_NE(s.firstStart(0, 5), nullptr) << "the lines are found again";
        EXPECT_EQ(s.effectTone(1), sent.song.effectTone(1));
        EXPECT_EQ(s.rate, sent.song.rate);
        EXPECT_TRUE(played(std::make_shared<Playable>(s)) == played(std::make_shared<Playable>(sent.song)))
            << "the same sound, from its start and taken over at a line";
    }

    // Messages follow one another on a pipe: each is read whole, and no further.
    std::vector<std::uint8_t> two = encodeMessage(cases[2]);
    const std::vector<std::uint8_t> second = encodeMessage(cases[0]);
    two.insert(two.end(), second.begin(), second.end());
    ChildMessage got;
    std::size_t used = 0;
    ASSERT_EQ(decodeMessage(two.data(), two.size(), got, used), Decoded::Whole);
    EXPECT_EQ(got.kind, ChildMessage::Kind::Asking);
    ASSERT_EQ(decodeMessage(two.data() + used, two.size() - used, got, used), Decoded::Whole);
    EXPECT_EQ(got.path, prepare.path);

    // A song passed between the page's parts.
    Playable song;
    EXPECT_TRUE(decodeSong(encodeSong(bank.song), song));
    EXPECT_EQ(song.title, bank.song.title);
    EXPECT_FALSE(decodeSong(encodeMessage(failed), song)) << "a message of another kind is no song";
}

TEST(PlayMessage, CutBytesAreIncompleteAndWrongOnesRefused) {
    ChildMessage place = message(ChildMessage::Kind::Place);
    place.place = {2, 9};
    ChildMessage failed = message(ChildMessage::Kind::Failed);
    failed.error = "why";
    for (const ChildMessage& m : {place, failed}) {
        const std::vector<std::uint8_t> bytes = encodeMessage(m);
        for (std::size_t size = 0; size < bytes.size(); ++size) {
            ChildMessage got;
            std::size_t used = 0;
            EXPECT_EQ(decodeMessage(bytes.data(), size, got, used), Decoded::Incomplete) << size;
        }
    }

    // Bytes changed where a writer never puts them: the kind, a number past its range, a length that
    // leaves fields unread or reads past them, a count past the bytes there.
    const std::vector<std::uint8_t> placeBytes = encodeMessage(place), failedBytes = encodeMessage(failed);
    const auto changed = [](std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    std::vector<std::uint8_t> longer = placeBytes;
    longer.push_back(0);
    longer[1] += 1; // the length holds one byte more than the fields
    const std::vector<std::uint8_t> shorter = changed(placeBytes, 1, placeBytes[1] - 1);
    // A song whose numbers lie outside what a song holds (the writer writes what it is given).
    const auto song = [](void (*change)(Playable&)) {
        Playable s;
        s.resumes.emplace_back();
        change(s);
        return encodeSong(s);
    };
    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"a rate below the lowest", song([](Playable& s) { s.rate = 999; })},
        {"song 4", song([](Playable& s) { s.number = 4; })},
        {"an effect on stream 4", song([](Playable& s) {
             s.effectStreams = {3, 4};
         })},
        {"an effect at entry 15", song([](Playable& s) {
             s.effects = {{15, 20, "x"}};
         })},
        {"no state to start from", song([](Playable& s) { s.resumes.clear(); })},
        {"no kind", changed(placeBytes, 0, 0)},
        {"a kind past the last", changed(placeBytes, 0, 6)},
        {"an order position past 255", changed(placeBytes, 9 + 1, 1)},
        {"a row below -1", changed(placeBytes, 9 + 8 + 7, 0x80)},
        {"a byte more than the fields", longer},
        {"a byte fewer than the fields", shorter},
        {"a text longer than the message", changed(failedBytes, 9, 200)},
    };
    for (const auto& [what, bytes] : cases) {
        ChildMessage got;
        std::size_t used = 0;
        EXPECT_EQ(decodeMessage(bytes.data(), bytes.size(), got, used), Decoded::Bad) << what;
    }
}

} // namespace
