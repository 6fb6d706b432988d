// The page's own logic (web/glue.js), case by case.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import {
    LOWEST_RATE, HIGHEST_RATE, DEFAULT_RATE, parseRate, nibtoolName, placeFromFigures, viewLines, shouldResync,
    heardView, utf8Encode, utf8Decode, verdictHeadline,
} from '../glue.js';

test('rates are read as --rate reads them', () => {
    const cases = [
        ['', { rate: 0 }], ['  ', { rate: 0 }], ['8000', { rate: 8000 }], [' 22050 ', { rate: 22050 }],
        ['1000', { rate: 1000 }], ['96000', { rate: 96000 }],
        ['999', { error: '--rate: 999 Hz is outside 1000-96000' }],
        ['96001', { error: '--rate: 96001 Hz is outside 1000-96000' }],
        ['8000.5', { error: "--rate: '8000.5' is not a whole number of Hz" }],
        ['-8000', { error: "--rate: '-8000' is not a whole number of Hz" }],
        ['8k', { error: "--rate: '8k' is not a whole number of Hz" }],
    ];
    for (const [text, want] of cases) assert.deepEqual(parseRate(text), want, text);
});

test("the page's rates are nibtool's", () => {
    const policy = readFileSync(new URL('../../policy/policy.h', import.meta.url), 'utf8');
    const number = (name) => Number(policy.match(new RegExp(`\\b${name} = ([0-9]+)`))?.[1]);
    assert.deepEqual([LOWEST_RATE, HIGHEST_RATE, DEFAULT_RATE],
        [number('kLowestRate'), number('kHighestRate'), number('kDefaultRate')]);
});

test("a dropped file's name is a name in the file system", () => {
    const cases = [['song.mod', 'song.mod'], ['a/b.xm', 'b.xm'], ['', 'unnamed'], ['.', 'unnamed'],
        ['..', 'unnamed'], ['dir/', 'unnamed'], ['ünïcode 1.it', 'ünïcode 1.it']];
    for (const [name, want] of cases) assert.equal(nibtoolName(name), want, name);
});

test('the figures after the view are read, and a view without them gives none', () => {
    const good = placeFromFigures('screen\n\x1f3 17 5 34 12345 99999 0 1 1 0\n');
    assert.deepEqual(good, { order: 3, line: 17, placeOrder: 5, placeRow: 34, songBytes: 12345,
        onceThroughBytes: 99999, finished: false, paused: true, repeats: true, offered: false });
    for (const bad of ['', 'no figures', '\x1f1 2 3', '\x1f1 2 3 4 5 6 7 8 9 x']) assert.equal(placeFromFigures(bad), null, bad);
    // A title holding the mark's character does not confuse it: the last mark counts.
    assert.equal(placeFromFigures('"a\x1fb"\n\x1f1 2 3 4 5 6 1 0 0 1\n').finished, true);
});

test("the view's lines lose the terminal's sequences and keep which line plays", () => {
    const screen = '\x1b[H"t"  f.mod  song 0\x1b[K\r\n 01   . ... . ..\x1b[K\r\n\x1b[7m>02   1 C-2 F 04\x1b[0m\x1b[K\r\n\x1b[J\n\x1f0 2 0 2 0 0 0 0 0 0\n';
    assert.deepEqual(viewLines(screen), [
        { text: '"t"  f.mod  song 0', playing: false },
        { text: ' 01   . ... . ..', playing: false },
        { text: '>02   1 C-2 F 04', playing: true },
    ]);
});

test('libxmp rejoins the song only when it has left its place', () => {
    const at = (placeOrder, placeRow) => ({ placeOrder, placeRow });
    const cases = [
        [at(2, 10), { order: 2, row: 10 }, false], [at(2, 10), { order: 2, row: 9 }, false],
        [at(2, 10), { order: 2, row: 12 }, false], [at(2, 10), { order: 2, row: 13 }, true],
        [at(2, 10), { order: 2, row: 7 }, true], [at(2, 0), { order: 1, row: 63 }, true],
        [at(3, 5), { order: 0, row: 5 }, true], [at(-1, -1), { order: 0, row: 0 }, false],
    ];
    for (const [place, module, want] of cases) assert.equal(shouldResync(place, module), want, JSON.stringify([place, module]));
});

test('the view heard is the last one not past the frame playing', () => {
    const queue = [{ frame: 100 }, { frame: 228 }, { frame: 356 }, { frame: 484 }];
    assert.equal(heardView(queue, 50), null);
    assert.equal(queue.length, 4);
    assert.equal(heardView(queue, 300).frame, 228);
    assert.equal(queue.length, 2);
    assert.equal(heardView(queue, 356).frame, 356);
    assert.equal(heardView(queue, 1000).frame, 484);
    assert.equal(heardView(queue, 2000), null);
});

test('UTF-8 both ways, with bad bytes replaced', () => {
    for (const text of ['', 'plain', 'Yonathan Haqatan', 'ünïcödé', '日本語', 'emoji 🎵', 'a\x1fb']) {
        assert.deepEqual([...utf8Encode(text)], [...new TextEncoder().encode(text)], text);
        assert.equal(utf8Decode(utf8Encode(text)), text, text);
    }
    const bad = [[0xff], [0xc3], [0xe6, 0x97], [0x61, 0x80, 0x62]];
    for (const bytes of bad) assert.equal(utf8Decode(new Uint8Array(bytes)), new TextDecoder().decode(new Uint8Array(bytes)), String(bytes));
});

test("the verdict's headline is the report's own line for it", () => {
    const report = 'samples stored at a lower rate\ny.rom: "Y", written for 8000 Hz\nfidelity: chroma 1.00, onset 0.97\n' +
        'close: the notes are right, the rhythm is kept\nscale: chroma (the notes) ...\nfar: a sample named far: no';
    const cases = [['close', report, 'close: the notes are right, the rhythm is kept'], ['fair', 'no such line', 'fair'],
        ['', report, ''], ['far', 'a line\nfar: much of the rhythm is lost', 'far: much of the rhythm is lost']];
    for (const [verdict, text, want] of cases) assert.equal(verdictHeadline(verdict, text), want, verdict);
});
