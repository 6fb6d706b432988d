// The page's time to first sound, as a user meets it: for each module of a folder, a fresh page served from
// DIR, the file chosen through the file chooser (whose click lets the page make sound), and the time until
// the view shows the song playing (the audio clock past its first frames), then until the whole import
// has taken over. Prints a line each and the medians. A benchmark, not a test: the machine's load moves it.
//
//   node web/test/first_sound.mjs PAGE_DIR MODULES_DIR
import { readdirSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { launchChromium, servePage } from './browser.mjs';

const [pageArg, modulesArg] = process.argv.slice(2);
if (!modulesArg) {
    console.error('usage: node web/test/first_sound.mjs PAGE_DIR MODULES_DIR');
    process.exit(2);
}
const modules = resolve(modulesArg);
const server = await servePage(pageArg);
const browser = await launchChromium();
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor((xs.length - 1) / 2)];
const first = [], whole = [];
for (const file of readdirSync(modules).filter((f) => /\.(mod|s3m|xm|it)$/i.test(f)).sort()) {
    const page = await browser.newPage();
    await page.goto(server.url);
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
