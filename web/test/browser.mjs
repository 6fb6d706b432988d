// What the page's browser tests and benchmark share: a built page served on localhost, and Debian's
// Chromium, headless, with a profile of its own, driven by playwright-core (which downloads no browser).
import { createReadStream, existsSync, mkdtempSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { chromium } from 'playwright-core';

const types = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm', '.css': 'text/css' };

// Serves the files of `dir` on 127.0.0.1 at a free port; { url, close }.
export async function servePage(dir) {
    const root = resolve(dir);
    const server = createServer((req, res) => {
        const path = join(root, decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/$/, '/index.html'));
        if (!path.startsWith(root) || !existsSync(path)) return res.writeHead(404).end();
        res.writeHead(200, { 'content-type': types[extname(path)] ?? 'application/octet-stream' });
        createReadStream(path).pipe(res);
    });
    await new Promise((done) => server.listen(0, '127.0.0.1', done));
    return { url: `http://127.0.0.1:${server.address().port}/`, close: () => server.close() };
}

// Debian's Chromium, headless; `extra` flags after the usual ones.
export function launchChromium(extra = [], options = {}) {
    return chromium.launchPersistentContext(mkdtempSync(join(tmpdir(), 'nibweb-chromium-')), {
        executablePath: '/usr/bin/chromium',
        headless: true,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
            '--disable-component-update', '--disable-sync', '--no-first-run', ...extra],
        ...options,
    });
}
