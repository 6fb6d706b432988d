// The page's time to first sound, as a user meets it: for each module of a folder, a fresh page served from
// DIR, the file chosen through the file chooser (whose click lets the page make sound), and the time until
// the view shows the song playing (the audio clock past its first frames), then until the whole import
// has taken over. Prints a line each and the medians. A benchmark, not a test: the machine's load moves it.
//
//   node web/test/first_sound.mjs PAGE_DIR MODULES_DIR
import { createReadStream, existsSync, mkdtempSync, readdirSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { chromium } from 'playwright-core';

const [pageArg, modulesArg] = process.argv.slice(2);
if (!modulesArg) {
    console.error('usage: node web/test/first_sound.mjs PAGE_DIR MODULES_DIR');
    process.exit(2);
}
const pageDir = resolve(pageArg), modules = resolve(modulesArg);
const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm', '.css': 'text/css' };
const server = createServer((req, res) => {
    const path = join(pageDir, decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/$/, '/index.html'));
    if (!path.startsWith(pageDir) || !existsSync(path)) return res.writeHead(404).end();
    res.writeHead(200, { 'content-type': types[extname(path)] ?? 'application/octet-stream' });
    createReadStream(path).pipe(res);
});
await new Promise((done) => server.listen(0, '127.0.0.1', done));
const browser = await chromium.launchPersistentContext(mkdtempSync(join(tmpdir(), 'nibweb-chromium-')), {
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
        '--disable-sync', '--no-first-run'],
});
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor((xs.length - 1) / 2)];
const first = [], whole = [];
for (const file of readdirSync(modules).filter((f) => /\.(mod|s3m|xm|it)$/i.test(f)).sort()) {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await page.waitForSelector('body[data-ready="1"]', { timeout: 60000 });
    const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.click('label[for="file"]')]);
    const start = Date.now();
    await chooser.setFiles(join(modules, file));
    await page.waitForFunction(() => (window.nibplayPage.state().figures?.played ?? 0) > 0, null, { timeout: 120000 });
    const sound = Date.now() - start;
    await page.waitForSelector('[data-testid="download-rom"]:not([disabled])', { timeout: 300000 });
    const all = Date.now() - start;
    first.push(sound);
    whole.push(all);
    console.log(`${file}: first sound ${sound} ms, whole import ${all} ms`);
    await page.close();
}
console.log(`median: first sound ${median(first)} ms (slowest ${Math.max(...first)} ms), whole import ${median(whole)} ms (slowest ${Math.max(...whole)} ms), ${first.length} modules`);
await browser.close();
server.close();
