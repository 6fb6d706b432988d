// The page's worker: reads files as nibtool does, imports modules (a quick first import of the opening
// seconds to play at once, then the whole one), prepares songs for the worklet and writes the downloads.
// Everything runs in nibweb.wasm, nibtool's own code; files live in its memory file system.
import createNibweb from './nibweb.mjs';
import { nibtoolName } from './glue.js';

let nib = null;
let errors = []; // what nibtool wrote on standard error during the last call
let outputs = []; // and on standard output

const PREVIEW_SECONDS = 8; // as nibtool play's preview

function take() {
    const size = nib._nibweb_size();
    const at = nib._nibweb_data();
    return nib.HEAPU8.slice(at, at + size);
}

function text() {
    return new TextDecoder().decode(take());
}

function call(name, types, args) {
    return nib.ccall(name, 'number', types, args);
}

// Runs nibtool's command line; its exit status and what it wrote.
function command(args) {
    errors = [];
    outputs = [];
    const argv = ['nibtool', ...args];
    const pointers = argv.map((a) => {
        const bytes = new TextEncoder().encode(a + '\0');
        const p = nib._malloc(bytes.length);
        nib.HEAPU8.set(bytes, p);
        return p;
    });
    const array = nib._malloc(4 * pointers.length);
    pointers.forEach((p, i) => nib.setValue(array + 4 * i, p, 'i32'));
    const status = nib._nibweb_command(argv.length, array);
    pointers.forEach((p) => nib._free(p));
    nib._free(array);
    return { status, errors: errors.join('\n'), output: outputs.join('\n') };
}

// The file as nibtool reads it: in /in under its own name (a folder dropped is a folder there).
function place(file) {
    const name = nibtoolName(file.name);
    const path = name; // in /in, the working folder: nibtool's lines name the file as the user knows it
    try {
        nib.FS.unlink(path);
    } catch {}
    try {
        nib.FS.rmdir(path);
    } catch {}
    if (file.folder) nib.FS.mkdir(path);
    else nib.FS.writeFile(path, new Uint8Array(file.bytes));
    return { name, path };
}

function stem(name) {
    const dot = name.lastIndexOf('.');
    return dot > 0 ? name.slice(0, dot) : name;
}

// Reads and prepares a file; a module first as a preview. Posts what it finds, step by step.
function open(request) {
    const { id, file, rate, song } = request;
    const { name, path } = place(file);
    const post = (message, transfer) => postMessage({ id, ...message }, transfer || []);
    post({ type: 'progress', stage: 'reading' });
    const started = performance.now();
    if (call('nibweb_open', ['string', 'number', 'number', 'number'], [path, rate, PREVIEW_SECONDS, song]) !== 0) {
        post({ type: 'refused', line: text() });
        return;
    }
    const kind = nib._nibweb_kind() === 1 ? 'module' : 'rom';
    const songRate = nib._nibweb_rate();
    nib._nibweb_notes();
    const notes = text();
    if (kind === 'rom') {
        nib._nibweb_rom();
        const rom = take();
        call('nibweb_prepare', ['number', 'number', 'number', 'number'], [-1, -1, 0, 0]);
        const prepared = take();
        // The ROM's own bytes are the download; nibtool info stands for a report.
        const info = command(['info', path]);
        post({ type: 'song', kind, rate: songRate, preview: false, prepared, notes }, [prepared.buffer]);
        post({ type: 'done', kind, rom: new Uint8Array(file.bytes), played: rom, report: info.output + info.errors,
               verdict: '', name: stem(name), seconds: (performance.now() - started) / 1000 });
        return;
    }
    // The preview: the opening seconds, to play at once.
    call('nibweb_prepare', ['number', 'number', 'number', 'number'], [-1, -1, 0, 1]);
    const preview = take();
    post({ type: 'song', kind, rate: songRate, preview: true, prepared: preview, notes,
           seconds: (performance.now() - started) / 1000 }, [preview.buffer]);
    post({ type: 'progress', stage: 'importing the whole song' });
    // The whole import, as nibtool import writes it, ready to take over wherever the preview is.
    if (call('nibweb_open', ['string', 'number', 'number', 'number'], [path, rate, 0, song]) !== 0) {
        post({ type: 'refused', line: text() });
        return;
    }
    nib._nibweb_rom();
    const rom = take();
    call('nibweb_report', ['string'], [stem(name) + '.rom']);
    const lines = text().split('\n');
    const verdict = lines.pop();
    call('nibweb_prepare', ['number', 'number', 'number', 'number'], [0, 0, nib._nibweb_longest_song_seconds(), 0]);
    const whole = take();
    post({ type: 'song', kind, rate: songRate, preview: false, prepared: whole, notes }, [whole.buffer]);
    post({ type: 'done', kind, rom, report: lines.join('\n'), verdict, name: stem(name),
           module: new Uint8Array(file.bytes), seconds: (performance.now() - started) / 1000 });
}

// The song once through as nibtool render writes it (WAV), from the ROM the page holds.
function wav(request) {
    const { id, rom, name } = request;
    const path = '/out/' + name + '.rom', target = '/out/' + name + '.wav';
    nib.FS.writeFile(path, rom);
    const result = command(['render', path, target, '-q']);
    if (result.status !== 0) {
        postMessage({ id, type: 'refused', line: result.errors });
        return;
    }
    const bytes = nib.FS.readFile(target);
    nib.FS.unlink(target);
    postMessage({ id, type: 'wav', bytes }, [bytes.buffer]);
}

onmessage = (event) => {
    const request = event.data;
    if (request.type === 'start') {
        nib = createNibweb({
            wasmBinary: request.wasm,
            print: (line) => outputs.push(line),
            printErr: (line) => errors.push(line),
        });
        // createNibweb compiles at once (WASM_ASYNC_COMPILATION=0) but hands back a promise.
        Promise.resolve(nib).then((m) => {
            nib = m;
            nib.FS.mkdir('/in');
            nib.FS.mkdir('/out');
            nib.FS.chdir('/in');
            postMessage({ type: 'ready' });
        });
        return;
    }
    try {
        if (request.type === 'open') open(request);
        if (request.type === 'wav') wav(request);
        if (request.type === 'command') postMessage({ id: request.id, type: 'command', ...command(request.args) });
    } catch (error) {
        postMessage({ id: request.id, type: 'refused', line: 'nibtool: ' + String(error) });
    }
};
