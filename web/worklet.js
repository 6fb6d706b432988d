// The page's audio worklet: nibtool play's player (the engine, in nibweb.wasm) at the song's own rate,
// and beside it the module as libxmp plays it, for A/B. It sends the view as nibtool play draws it,
// stamped with the frame it belongs to, so the page shows it when that frame is heard.
import createNibweb from './nibweb.mjs';
import { shouldResync, placeFromFigures, utf8Decode, utf8Encode } from './glue.js';

// The worklet's scope has no performance clock; emscripten's runtime may ask for one.
if (typeof globalThis.performance === 'undefined') globalThis.performance = { now: () => currentTime * 1000 };

const VIEW_ROWS = 30, VIEW_COLUMNS = 100; // the terminal nibtool play draws on: the page has room
const VIEW_FRAMES = 0.1; // seconds between views when the line does not change

class NibPlayer extends AudioWorkletProcessor {
    constructor(options) {
        super();
        const { wasm, loop, hold } = options.processorOptions;
        this.hold = hold || 1; // output frames per song byte: 1, or more below the lowest AudioContext rate
        this.held = 128; // the byte the last frame played
        try {
            // locateFile keeps emscripten from URL, which a worklet's scope lacks; the bytes are given.
            this.nib = createNibweb({ wasmBinary: wasm, locateFile: (name) => name, print: () => {}, printErr: () => {} });
        } catch (e) {
            this.port.postMessage({ type: 'error', line: 'the player did not start: ' + e + ' ' + (e && e.stack) });
            this.nib = Promise.reject(e);
        }
        this.ready = false;
        this.pending = [];
        Promise.resolve(this.nib).then((m) => {
            this.nib = m;
            this.nib._nibweb_player(loop ? 1 : 0);
            this.ready = true;
            this.pending.forEach((message) => this.handle(message));
            this.pending = [];
        }).catch((e) => this.port.postMessage({ type: 'error', line: 'the player did not start: ' + e }));
        this.source = 'rom'; // what is heard: 'rom' (the engine) or 'module' (libxmp)
        this.hasModule = false;
        this.frame = 0; // frames rendered since the worklet started
        this.songs = 0; // songs started from their start
        this.songFrame = 0; // the frame the song playing started on
        this.lastView = -1e9;
        this.lastLine = -1;
        this.capture = null; // the engine's bytes as rendered, while a test asks for them
        this.port.onmessage = (event) => (this.ready ? this.handle(event.data) : this.pending.push(event.data));
    }

    buffer(given) {
        const bytes = given instanceof Uint8Array ? given : new Uint8Array(given);
        const at = this.nib._nibweb_buffer(bytes.length);
        this.nib.HEAPU8.set(bytes, at);
    }

    handle(m) {
        const nib = this.nib;
        if (m.type === 'song') {
            this.buffer(m.prepared);
            const file = utf8Encode(m.file + '\0');
            const at = nib._malloc(file.length);
            nib.HEAPU8.set(file, at);
            const failed = nib._nibweb_play(m.takeOver ? 1 : 0, at);
            nib._free(at);
            if (!m.takeOver) {
                ++this.songs; // the views say which song they show: the page drops the last song's
                this.songFrame = this.frame;
                this.hasModule = false;
                this.source = 'rom';
                if (this.capture) this.capture = []; // a capture holds the song from its first byte
            }
            if (failed) this.port.postMessage({ type: 'error', line: 'the prepared song did not arrive whole' });
            this.lastLine = -1;
        } else if (m.type === 'module') {
            this.buffer(m.bytes);
            this.hasModule = nib._nibweb_xmp_load(sampleRate) === 0;
            if (!this.hasModule) this.source = 'rom';
        } else if (m.type === 'source') {
            this.source = m.source === 'module' && this.hasModule ? 'module' : 'rom';
        } else if (m.type === 'pause') {
            nib._nibweb_pause(m.paused ? 1 : 0);
        } else if (m.type === 'step') {
            nib._nibweb_step(m.direction);
            this.lastLine = -1;
        } else if (m.type === 'effect') {
            const played = nib._nibweb_effect();
            this.port.postMessage({ type: 'effect', played });
        } else if (m.type === 'loop') {
            nib._nibweb_loop(m.loop ? 1 : 0);
        } else if (m.type === 'capture') {
            this.capture = m.on ? [] : null;
        } else if (m.type === 'take') {
            const bytes = this.capture ? concat(this.capture) : new Uint8Array(0);
            this.capture = m.keep ? [] : null;
            this.port.postMessage({ type: 'captured', bytes }, [bytes.buffer]);
        }
    }

    // Sends the view when the line changes, and every VIEW_FRAMES seconds; keeps libxmp at the song's
    // place when the two part ways (a move, a jump back).
    look() {
        const nib = this.nib;
        if (this.songs === 0) return; // no song yet: nothing to show
        const line = nib._nibweb_line();
        if (line === this.lastLine && this.frame - this.lastView < VIEW_FRAMES * sampleRate) return;
        if (nib._nibweb_look(VIEW_ROWS, VIEW_COLUMNS) !== 0) return;
        const size = nib._nibweb_size(), at = nib._nibweb_data();
        const text = utf8Decode(nib.HEAPU8.subarray(at, at + size));
        const place = placeFromFigures(text);
        let module = null;
        if (this.hasModule) {
            const xmp = nib._nibweb_xmp_place();
            module = xmp >= 0 ? { order: Math.floor(xmp / 1024), row: xmp % 1024 } : null;
            if (place && module && line !== this.lastLine && shouldResync(place, module)) {
                nib._nibweb_xmp_seek(place.placeOrder, place.placeRow);
                module = { order: place.placeOrder, row: place.placeRow };
            }
        }
        this.lastLine = line;
        this.lastView = this.frame;
        this.port.postMessage({ type: 'view', text, frame: this.frame, source: this.source, module, song: this.songs,
            played: this.frame - this.songFrame });
    }

    process(inputs, outputs) {
        const out = outputs[0][0];
        if (!this.ready || !out) return true;
        const nib = this.nib;
        const n = out.length;
        // Output frame f plays song byte f / hold.
        const last = Math.floor((this.frame + n - 1) / this.hold);
        const fresh = last - Math.floor((this.frame - 1) / this.hold);
        let at = nib._nibweb_fill(fresh);
        const song = nib.HEAPU8.subarray(at, at + fresh);
        if (this.capture) this.capture.push(song.slice());
        if (this.source === 'rom') {
            if (this.hold === 1) {
                for (let i = 0; i < n; ++i) out[i] = (song[i] - 128) / 128;
            } else {
                const base = last - fresh + 1; // the byte song[0] is
                for (let i = 0; i < n; ++i) {
                    const b = Math.floor((this.frame + i) / this.hold);
                    out[i] = ((b < base ? this.held : song[b - base]) - 128) / 128;
                }
            }
        }
        if (fresh > 0) this.held = song[fresh - 1];
        if (this.hasModule) {
            at = nib._nibweb_xmp_fill(n);
            const module = new Int16Array(nib.HEAPU8.buffer, at, n);
            if (this.source === 'module') for (let i = 0; i < n; ++i) out[i] = module[i] / 32768;
        }
        for (let c = 1; c < outputs[0].length; ++c) outputs[0][c].set(out);
        this.frame += n;
        this.look();
        return true;
    }
}

function concat(chunks) {
    const size = chunks.reduce((sum, c) => sum + c.length, 0);
    const all = new Uint8Array(size);
    let at = 0;
    for (const c of chunks) all.set(c, at), (at += c.length);
    return all;
}

registerProcessor('nibplayer', NibPlayer);
