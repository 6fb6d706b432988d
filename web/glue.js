// The page's logic that is neither nibtool's (that runs in nibweb.wasm) nor the browser's: names, rates,
// the view's text and figures, when libxmp must rejoin the song, which view is heard now. Plain functions,
// used by the page, its worker and its worklet, and tested in node.

// nibtool's rates (policy/policy.h), here for the page's field before the worker has loaded nibtool; the
// page's tests check that the two agree.
export const LOWEST_RATE = 1000, HIGHEST_RATE = 96000, DEFAULT_RATE = 8000;

// The rate asked for, as nibtool's --rate takes it: a whole number of Hz, 1000-96000. An empty field is
// the default (0: the file's own rate, 8000 Hz for a module). { rate } or { error }.
export function parseRate(text) {
    const t = String(text ?? '').trim();
    if (t === '') return { rate: 0 };
    if (!/^[0-9]+$/.test(t)) return { error: `--rate: '${t}' is not a whole number of Hz` };
    const rate = Number(t);
    if (rate < LOWEST_RATE || rate > HIGHEST_RATE)
        return { error: `--rate: ${rate} Hz is outside ${LOWEST_RATE}-${HIGHEST_RATE}` };
    return { rate };
}

// A dropped file's name as a name in the worker's file system: its last part, never empty, '.' or '..'.
export function nibtoolName(name) {
    const last = String(name ?? '').split('/').pop();
    return last === '' || last === '.' || last === '..' ? 'unnamed' : last;
}

// The figures nibweb_look writes after the view: the engine's order position and line, the place (the
// module's order position and row), the song's position and length in bytes, and four flags. Null if the
// text holds none.
export function placeFromFigures(text) {
    const mark = text.lastIndexOf('\x1f');
    if (mark < 0) return null;
    const n = text.slice(mark + 1).trim().split(/\s+/).map(Number);
    if (n.length < 10 || n.some((x) => !Number.isFinite(x))) return null;
    return {
        order: n[0], line: n[1], placeOrder: n[2], placeRow: n[3], songBytes: n[4], onceThroughBytes: n[5],
        finished: n[6] === 1, paused: n[7] === 1, repeats: n[8] === 1, offered: n[9] === 1,
    };
}

// The view's lines as nibtool play draws them on a terminal, without the terminal's sequences: each line
// with whether it is the playing one (drawn in reverse video).
export function viewLines(text) {
    const mark = text.lastIndexOf('\x1f');
    const screen = (mark < 0 ? text : text.slice(0, mark)).replace(/\x1b\[[HJK]/g, '');
    const lines = screen.split(/\r?\n/);
    while (lines.length > 0 && lines[lines.length - 1] === '') lines.pop();
    return lines.map((line) => ({ text: line.replace(/\x1b\[[0-9;?]*[a-zA-Z]/g, ''), playing: line.includes('\x1b[7m') }));
}

// Whether libxmp, playing `module` (order position, row), has left the song's place (the module's order
// position and row of the ROM's line playing): another order position, or rows apart by more than the two
// a ROM's line may hold and the one a line start may lead a row start by.
export function shouldResync(place, module) {
    if (place.placeOrder < 0 || place.placeRow < 0) return false;
    if (module.order !== place.placeOrder) return true;
    return Math.abs(module.row - place.placeRow) > 2;
}

// Of views stamped with the frame they belong to (ascending), the one heard at `frame`: the last whose
// frame is not past it. The views before it are dropped from `queue`. Null if none is heard yet.
export function heardView(queue, frame) {
    let heard = null;
    while (queue.length > 0 && queue[0].frame <= frame) heard = queue.shift();
    return heard;
}

// UTF-8, for the worklet's scope, which has no TextEncoder or TextDecoder.
export function utf8Encode(text) {
    const bytes = [];
    for (const ch of String(text)) {
        const c = ch.codePointAt(0);
        if (c < 0x80) bytes.push(c);
        else if (c < 0x800) bytes.push(0xc0 | (c >> 6), 0x80 | (c & 63));
        else if (c < 0x10000) bytes.push(0xe0 | (c >> 12), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
        else bytes.push(0xf0 | (c >> 18), 0x80 | ((c >> 12) & 63), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
    }
    return new Uint8Array(bytes);
}

export function utf8Decode(bytes) {
    let text = '';
    for (let i = 0; i < bytes.length; ) {
        const b = bytes[i];
        const extra = b >= 0xf0 && b < 0xf8 ? 3 : b >= 0xe0 && b < 0xf0 ? 2 : b >= 0xc2 && b < 0xe0 ? 1 : b < 0x80 ? 0 : -1;
        let c = extra > 0 ? b & (0x3f >> extra) : b;
        let k = 1;
        while (k <= extra && i + k < bytes.length && (bytes[i + k] & 0xc0) === 0x80) c = (c << 6) | (bytes[i + k++] & 63);
        // A sequence cut short or a stray byte is one replacement character, as TextDecoder gives.
        text += extra >= 0 && k === extra + 1 ? String.fromCodePoint(c) : '\ufffd';
        i += extra >= 0 ? k : 1;
    }
    return text;
}

// The verdict's line for the top of the report: the report's own line for it ("fair: the notes are mostly
// right, the rhythm loses detail"), else the word alone.
export function verdictHeadline(verdict, report) {
    if (!verdict) return '';
    return report.split('\n').find((l) => l.startsWith(verdict + ': ')) ?? verdict;
}

// A download's name: the song's name with an ending.
export function downloadName(stem, ending) {
    return (stem || 'song') + ending;
}
