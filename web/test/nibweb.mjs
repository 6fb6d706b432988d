// Loads the page's module (nibweb.mjs and nibweb.wasm from a built page) in node, as the page's worker
// does, with nibtool's lines caught.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { createRequire } from 'node:module';
import { pathToFileURL } from 'node:url';

export async function loadNibweb(pageDir) {
    // emscripten's ES module reaches node's modules through require and __dirname, as a CommonJS one.
    globalThis.require ??= createRequire(import.meta.url);
    globalThis.__dirname ??= pageDir;
    const { default: createNibweb } = await import(pathToFileURL(join(pageDir, 'nibweb.mjs')).href);
    const lines = { out: [], err: [] };
    const nib = await createNibweb({
        wasmBinary: readFileSync(join(pageDir, 'nibweb.wasm')),
        print: (l) => lines.out.push(l),
        printErr: (l) => lines.err.push(l),
    });
    nib.FS.mkdir('/in');
    nib.FS.mkdir('/out');
    const take = () => {
        const at = nib._nibweb_data();
        return nib.HEAPU8.slice(at, at + nib._nibweb_size());
    };
    return {
        nib, lines, take,
        text: () => new TextDecoder().decode(take()),
        // nibtool's command line in the module: its status, and what it wrote.
        command(args) {
            lines.out = [];
            lines.err = [];
            const argv = ['nibtool', ...args].map((a) => nib.stringToNewUTF8 ? nib.stringToNewUTF8(a) : alloc(nib, a));
            const array = nib._malloc(4 * argv.length);
            argv.forEach((p, i) => nib.setValue(array + 4 * i, p, 'i32'));
            const status = nib._nibweb_command(argv.length, array);
            argv.forEach((p) => nib._free(p));
            nib._free(array);
            return { status, out: lines.out.join('\n'), err: lines.err.join('\n') };
        },
        open(path, rate, preview = 0, song = 0) {
            return nib.ccall('nibweb_open', 'number', ['string', 'number', 'number', 'number'], [path, rate, preview, song]);
        },
    };
}

function alloc(nib, text) {
    const bytes = new TextEncoder().encode(text + '\0');
    const p = nib._malloc(bytes.length);
    nib.HEAPU8.set(bytes, p);
    return p;
}
