// The page's imports against nibtool's, byte for byte: every module of a folder imported at each rate by
// the native nibtool and by nibweb.wasm in node (the code the page's worker runs), the ROMs and the
// report's lines compared. Prints a line per difference and a closing count; exits 1 on any difference.
//
//   node web/test/identity.mjs PAGE_DIR NIBTOOL MODULES_DIR [RATE...]     (rates: 8000 22050)
//
// KEEP_NATIVE=DIR keeps nibtool's ROMs there (MODULE.RATE.rom), to compare with another build's.
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join, resolve } from 'node:path';
import { loadNibweb } from './nibweb.mjs';

const [pageDir, nibtoolGiven, modulesGiven, ...given] = process.argv.slice(2);
// nibtool runs in a scratch folder (see below): both paths are taken from where this was started.
const nibtool = nibtoolGiven && resolve(nibtoolGiven);
const modules = modulesGiven && resolve(modulesGiven);
if (!modules) {
    console.error('usage: node web/test/identity.mjs PAGE_DIR NIBTOOL MODULES_DIR [RATE...]');
    process.exit(2);
}
const rates = given.length > 0 ? given.map(Number) : [8000, 22050];
const web = await loadNibweb(pageDir);
const work = mkdtempSync(join(tmpdir(), 'nibweb-identity-'));
const files = readdirSync(modules).filter((f) => statSync(join(modules, f)).isFile() && !/\.(md|txt)$/i.test(f)).sort();

let passed = 0, failed = 0;
for (const rate of rates) {
    for (const file of files) {
        const name = basename(file).replace(/\.[^.]*$/, '') + '.rom';
        // Native: nibtool import, run where its output's name is the same as the page's.
        const run = spawnSync(nibtool, ['import', join(modules, file), name, '--rate', String(rate)], { cwd: work, encoding: 'utf8' });
        const native = run.status === 0 ? readFileSync(join(work, name)) : null;
        if (native && process.env.KEEP_NATIVE) writeFileSync(join(process.env.KEEP_NATIVE, `${file}.${rate}.rom`), native);
        const nativeLines = run.stderr.trimEnd();
        // The page: the same file in its file system, read and imported by nibweb.
        const path = '/in/' + file;
        web.nib.FS.writeFile(path, readFileSync(join(modules, file)));
        const t0 = Date.now();
        const opened = web.open(path, rate);
        let page = null, pageLines = '';
        if (opened === 0) {
            web.nib._nibweb_rom();
            page = web.take();
            web.nib.ccall('nibweb_report', 'number', ['string'], [name]);
            pageLines = web.text().split('\n').slice(0, -1).join('\n');
        } else {
            pageLines = web.text();
        }
        web.nib.FS.unlink(path);
        const seconds = ((Date.now() - t0) / 1000).toFixed(1);
        const sameRom = (native === null) === (page === null) && (native === null || Buffer.compare(native, Buffer.from(page)) === 0);
        const same = sameRom && nativeLines === pageLines.trimEnd();
        if (same) {
            ++passed;
            console.log(`same  ${file} at ${rate} Hz (${seconds} s in wasm)`);
        } else {
            ++failed;
            console.log(`DIFFERENT  ${file} at ${rate} Hz: native ${native ? native.length + ' bytes' : 'refused'}, page ${page ? page.length + ' bytes' : 'refused'}${sameRom ? ' (the same ROM; the lines differ)' : ''}`);
            if (nativeLines !== pageLines.trimEnd()) console.log(`    native says: ${nativeLines.split('\n')[0]}\n    page says:   ${pageLines.split('\n')[0]}`);
            if (native && page) {
                let first = 0;
                while (first < native.length && native[first] === page[first]) ++first;
                console.log(`    first difference at offset 0x${first.toString(16)}`);
            }
        }
    }
}
console.log(`identity: ${passed} passed, ${failed} failed`);
process.exit(failed > 0 ? 1 : 0);
