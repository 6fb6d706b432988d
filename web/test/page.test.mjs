// The page in Debian's Chromium, headless, driven by playwright-core as a user would: files chosen, songs
// played, A/B, downloads; every answer compared with the native tools'.
//
//   NIBWEB_PAGE=DIR NIBPLAY_BUILD=build MODULES=../shared/modules node --test web/test/page.test.mjs
//
// No sound device is needed: the worklet's bytes are captured as it renders them.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join, resolve } from 'node:path';
import { launchChromium, servePage } from './browser.mjs';

const root = resolve(new URL('../..', import.meta.url).pathname);
const pageDir = resolve(process.env.NIBWEB_PAGE ?? join(root, 'build-web/page'));
const build = resolve(process.env.NIBPLAY_BUILD ?? join(root, 'build'));
const modules = resolve(process.env.MODULES ?? join(root, '../shared/modules'));
const nibtool = join(build, 'nibtool');
const work = mkdtempSync(join(tmpdir(), 'nibweb-page-'));

// Modules small enough to import quickly twice over: the first few of the folder by size.
const someModules = existsSync(modules)
    ? readdirSync(modules).filter((f) => /\.(mod|s3m|xm|it)$/i.test(f))
        .map((f) => ({ f, size: statSync(join(modules, f)).size })).sort((a, b) => a.size - b.size)
        .slice(0, 2).map((m) => join(modules, m.f))
    : [];

let server, browser, url;

before(async () => {
    server = await servePage(pageDir);
    url = server.url;
    browser = await launchChromium(['--autoplay-policy=no-user-gesture-required'], { acceptDownloads: true });
});

after(async () => {
    await browser?.close();
    server?.close();
});

async function openPage() {
    const page = await browser.newPage();
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(url);
    await page.waitForSelector('body[data-ready="1"]', { timeout: 60000 });
    return page;
}

// Chooses files through the file input, as a user does.
async function choose(page, files) {
    await page.setInputFiles('[data-testid="file"]', files);
}

async function setRate(page, rate) {
    await page.fill('[data-testid="rate"]', String(rate));
}

async function download(page, testid) {
    await page.waitForSelector(`[data-testid="${testid}"]:not([disabled])`, { timeout: 180000 });
    const [file] = await Promise.all([page.waitForEvent('download', { timeout: 180000 }), page.click(`[data-testid="${testid}"]`)]);
    return readFileSync(await file.path());
}

function native(args) {
    const run = spawnSync(nibtool, args, { cwd: work, encoding: 'latin1' });
    return { status: run.status, err: run.stderr.trimEnd(), out: run.stdout };
}

// nibplay's first `bytes` bytes of a ROM.
function nibplay(rom, bytes) {
    const run = spawnSync('sh', ['-c', `"${join(build, 'nibplay')}" "${rom}" x 2>/dev/null | head -c ${bytes}`], { maxBuffer: bytes + 1024 });
    return run.stdout;
}

// The song's figures as the view heard now shows them.
const figures = (page) => page.evaluate(() => window.nibplayPage.state().figures);

test("the worklet plays a table of ROMs byte for byte as nibplay does", async () => {
    const roms = join(work, 'roms');
    spawnSync('mkdir', ['-p', roms]);
    spawnSync(join(build, 'make_test_roms'), [roms, '2']);
    // The hostile images nibtool reads as ROMs (the others it refuses, as the page does).
    const hostile = readdirSync(roms).filter((f) => !f.startsWith('effects') && native(['info', join(roms, f)]).status === 0);
    const table = [join(root, 'examples/demo.rom'), ...readdirSync(roms).filter((f) => f.startsWith('effects')).slice(0, 1).map((f) => join(roms, f)),
        ...hostile.slice(0, 2).map((f) => join(roms, f))];
    assert.ok(table.length >= 3, 'a ROM of each kind');
    const page = await openPage();
    await page.check('[data-testid="loop"]'); // on for ever, as nibplay plays
    for (const rom of table) {
        await page.evaluate(() => window.nibplayPage.capture(true));
        await choose(page, rom);
        // 20,000 bytes of this song played (a song may repeat within fewer: its position then jumps back).
        await page.waitForFunction((name) => {
            const s = window.nibplayPage.state();
            return s.song?.name === name && s.figures?.played > 20000;
        }, basename(rom), { timeout: 30000 });
        const got = Buffer.from(await page.evaluate(async () => Array.from(await window.nibplayPage.take())));
        assert.ok(got.length > 20000, `${rom}: ${got.length} bytes captured`);
        const want = nibplay(rom, got.length);
        assert.equal(Buffer.compare(got, want.subarray(0, got.length)), 0, `${rom}: the worklet's ${got.length} bytes are nibplay's`);
    }
    await page.close();
});

test('once loaded, the page opens again and plays without a network', async () => {
    const page = await openPage();
    assert.equal(await page.evaluate(() => window.nibplayPage.offline), true, 'the page keeps a copy of its files');
    await browser.setOffline(true);
    try {
        await page.reload();
        await page.waitForSelector('body[data-ready="1"]', { timeout: 60000 });
        await page.check('[data-testid="loop"]');
        await page.evaluate(() => window.nibplayPage.capture(true));
        const demo = join(root, 'examples/demo.rom');
        await choose(page, demo);
        await page.waitForFunction(() => window.nibplayPage.state().figures?.played > 8000, null, { timeout: 30000 });
        const got = Buffer.from(await page.evaluate(async () => Array.from(await window.nibplayPage.take())));
        assert.equal(Buffer.compare(got, nibplay(demo, got.length).subarray(0, got.length)), 0, 'the demo plays as nibplay plays it');
    } finally {
        await browser.setOffline(false);
        await page.close();
    }
});

for (const rate of [8000, 22050]) {
    test(`a module chosen gives nibtool import's ROM byte for byte at ${rate} Hz`, { skip: someModules.length === 0 && 'no modules' }, async () => {
        const page = await openPage();
        await setRate(page, rate);
        for (const module of someModules) {
            await choose(page, module);
            const rom = await download(page, 'download-rom');
            const made = native(['import', module, 'native.rom', '--rate', String(rate)]);
            assert.equal(made.status, 0, made.err);
            assert.equal(Buffer.compare(rom, readFileSync(join(work, 'native.rom'))), 0, `${module} at ${rate} Hz`);
            // The report is nibtool's, its verdict first.
            const report = await page.textContent('[data-testid="report"]');
            for (const line of made.err.split('\n').filter((l) => !l.includes('native.rom'))) assert.ok(report.includes(line), `the report holds: ${line}`);
            const verdict = made.err.split('\n').find((l) => /^(close|fair|far): /.test(l));
            assert.ok(verdict && report.startsWith(verdict), `the verdict comes first: ${report.slice(0, 80)}`);
        }
        await page.close();
    });
}

test("the WAV downloaded is nibtool render's", { skip: someModules.length === 0 && 'no modules' }, async () => {
    const page = await openPage();
    await choose(page, someModules[0]);
    const wav = await download(page, 'download-wav');
    const made = native(['render', someModules[0], 'native.wav', '-q']);
    assert.equal(made.status, 0, made.err);
    assert.equal(Buffer.compare(wav, readFileSync(join(work, 'native.wav'))), 0);
    await page.close();
});

test('the view follows the sound, and A/B keeps the place', { skip: someModules.length === 0 && 'no modules' }, async () => {
    const page = await openPage();
    await choose(page, someModules[0]);
    await page.waitForSelector('[data-testid="ab"]:not([disabled])', { timeout: 180000 });
    const first = await figures(page);
    await page.waitForTimeout(1500);
    const second = await figures(page);
    assert.ok(second.songBytes > first.songBytes, 'the song moves on');
    assert.ok(second.order * 64 + second.line > first.order * 64 + first.line || second.order < first.order, 'order and line advance');
    // The view is the one heard: its frame is not ahead of the audio clock.
    const { frame, now } = await page.evaluate(() => ({ frame: window.nibplayPage.state().figures.frame, now: window.nibplayPage.clock() }));
    assert.ok(frame <= now, `the view (frame ${frame}) is not ahead of the sound (${now})`);
    // A/B: the module, then the ROM again, at the same place.
    await page.click('[data-testid="ab"]');
    await page.waitForTimeout(800);
    const b = await page.evaluate(() => window.nibplayPage.state());
    assert.equal(b.source, 'module');
    assert.ok(b.module && b.module.order === b.figures.placeOrder && Math.abs(b.module.row - b.figures.placeRow) <= 2,
        `libxmp plays ${JSON.stringify(b.module)} where the song is at ${b.figures.placeOrder}/${b.figures.placeRow}`);
    await page.click('[data-testid="ab"]');
    await page.waitForTimeout(500);
    const a = await figures(page);
    assert.ok(a.songBytes > b.figures.songBytes, 'the ROM went on where it was');
    await page.close();
});

test("a text file, an empty file and a folder get nibtool's lines", async () => {
    const text = join(work, 'notes.txt'), empty = join(work, 'empty.mod');
    writeFileSync(text, 'these are notes, not a song\n');
    writeFileSync(empty, '');
    const page = await openPage();
    for (const file of [text, empty]) {
        const want = native(['info', file.slice(work.length + 1)]).err;
        await choose(page, file);
        await page.waitForFunction((line) => document.querySelector('[data-testid="status"]').textContent === line, want, { timeout: 30000 });
        assert.ok((await page.textContent('[data-testid="report"]')).includes(want));
    }
    spawnSync('mkdir', ['-p', join(work, 'songs')]);
    const want = native(['info', 'songs']).err;
    await page.evaluate(() => window.nibplayPage.drop([{ name: 'songs', folder: true }]));
    await page.waitForFunction((line) => document.querySelector('[data-testid="status"]').textContent === line, want, { timeout: 30000 });
    await page.close();
});
