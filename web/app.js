// The page: files chosen or dropped go to the worker (nibtool's reading and import, in nibweb.wasm); the
// songs it prepares play in the audio worklet (nibtool play's player, in the same wasm), at the song's
// own rate; the view follows what is heard; the downloads are nibtool's own outputs.
import { DEFAULT_RATE, parseRate, heardView, viewLines, placeFromFigures, verdictHeadline, downloadName, nibtoolName }
    from './glue.js';

const $ = (id) => document.getElementById(id);
const LOWEST_CONTEXT_RATE = 3000; // the lowest rate an AudioContext takes; lower rates hold each byte

let wasm = null;
let worker = null;
const answers = new Map(); // request id -> handler of the worker's messages
let nextId = 1;

let context = null, node = null, contextRate = 0, songRate = 0;
let views = []; // the worklet's views, by frame, until heard
let playlist = []; // { name, bytes, folder }
let current = -1;
let opening = 0; // the request whose answers still count
let song = null; // what plays: { kind, name, rate, rom, report, verdict, number, module }
let playing = false, source = 'rom', loop = false;
let songsStarted = 0; // songs the worklet was told to start from their start: its views name which
let lastFigures = null, lastModule = null; // the view heard: the song's figures, libxmp's place
let worklet = null; // resolves once the worklet answers
const captured = [];

export const page = {
    state: () => ({ song, playing, source, figures: lastFigures, module: lastModule, contextRate, songRate,
                    context: context ? context.state : 'none', views: views.length }),
    // The frame heard now.
    clock: () => (context ? (context.currentTime - (context.outputLatency || 0)) * contextRate : 0),
};
window.nibplayPage = page; // for the page's tests

function status(text, refused = false) {
    $('status').textContent = text;
    $('status').className = refused ? 'refused' : '';
}

// The worker, with nibweb.wasm ready in it.
let workerReady = null;
function startWorker() {
    worker = new Worker('worker.js', { type: 'module' });
    worker.onmessage = onWorker;
    workerReady = new Promise((resolve) => {
        answers.set(undefined, (m) => m.type === 'ready' && resolve());
        worker.postMessage({ type: 'start', wasm: wasm.slice(0) });
    }).then(() => answers.delete(undefined));
    return workerReady;
}

// A file chosen while the worker still imports the last one: that import is of no more use, and the new
// file must not wait for it. A fresh worker takes the new one (its wasm compiles in a fraction of a second).
async function freeWorker() {
    if (opening === 0 || !answers.has(opening)) return workerReady;
    worker.terminate();
    answers.clear();
    opening = 0;
    return startWorker();
}

function ask(message, transfer = []) {
    const id = nextId++;
    worker.postMessage({ ...message, id }, transfer);
    return id;
}

function onWorker(event) {
    const m = event.data;
    const handler = answers.get(m.id);
    if (handler) handler(m);
}

// ---- Sound ----------------------------------------------------------------------------------------

// The AudioContext at the song's rate (at a multiple of it below the lowest an AudioContext takes), with
// the worklet in it. Made once per rate; the first, at 8000 Hz, as the page starts.
let sound = null; // { rate, ready }
function soundAt(rate) {
    const hold = Math.ceil(LOWEST_CONTEXT_RATE / rate);
    const wanted = rate * hold;
    if (sound && sound.rate === wanted) return sound.ready;
    const old = context;
    const made = async () => {
        if (old) await old.close();
        views = [];
        const fresh = new AudioContext({ sampleRate: wanted, latencyHint: 'interactive' });
        await fresh.audioWorklet.addModule('worklet.js');
        const worklet = new AudioWorkletNode(fresh, 'nibplayer', {
            numberOfInputs: 0, outputChannelCount: [1],
            processorOptions: { wasm: wasm.slice(0), loop, hold },
        });
        worklet.port.onmessage = onWorklet;
        worklet.onprocessorerror = (e) => {
            console.error('the audio worklet stopped', e);
            status('the player stopped: an error in the audio worklet', true);
        };
        worklet.connect(fresh.destination);
        if (capturing) worklet.port.postMessage({ type: 'capture', on: true });
        context = fresh;
        node = worklet;
        songsStarted = 0; // a new worklet counts its songs afresh
        contextRate = wanted;
        songRate = rate;
        source = 'rom';
        $('ab').textContent = 'A/B: ROM';
    };
    sound = { rate: wanted, ready: made() };
    return sound.ready;
}

function onWorklet(event) {
    const m = event.data;
    if (m.type === 'view' && m.song === songsStarted) {
        views.push(m);
        if (views.length > 600) views.splice(0, views.length - 600); // a hidden page draws no frames
    }
    if (m.type === 'captured') captured.push(m.bytes);
    if (m.type === 'effect' && m.played < 0) status('no effects: this image names none (nibtool bank --sfx makes them)');
    if (m.type === 'error') {
        console.error(m.line);
        status('nibtool: ' + m.line, true);
    }
}

function tell(message, transfer = []) {
    if (node) node.port.postMessage(message, transfer);
}

// Shows the view heard now, and moves to the next file when a song has ended.
function follow() {
    requestAnimationFrame(follow);
    if (!context) return;
    const latency = context.outputLatency || 0;
    const frame = (context.currentTime - latency) * contextRate;
    const view = heardView(views, frame);
    if (!view) return;
    const figures = placeFromFigures(view.text);
    lastFigures = figures ? { ...figures, frame: view.frame, played: view.played } : null;
    lastModule = view.module;
    const pre = $('view');
    pre.replaceChildren(...viewLines(view.text).map((line) => {
        const element = document.createElement(line.playing ? 'mark' : 'span');
        element.textContent = line.text + '\n';
        return element;
    }));
    if (!figures) return;
    const clock = (bytes) => {
        const tenths = Math.floor((bytes * 10) / songRate);
        return `${Math.floor(tenths / 600)}:${String(Math.floor(tenths / 10) % 60).padStart(2, '0')}.${tenths % 10}`;
    };
    $('clock').textContent = clock(figures.songBytes) + ' / ' + clock(figures.onceThroughBytes);
    $('position').value = figures.onceThroughBytes > 0 ? figures.songBytes / figures.onceThroughBytes : 0;
    if (figures.finished && playing && !loop) {
        playing = false;
        $('play').textContent = 'Play';
        if (current + 1 < playlist.length) choose(current + 1);
    }
}

// ---- Files ----------------------------------------------------------------------------------------

function showPlaylist() {
    $('playlist').replaceChildren(...playlist.map((file, i) => {
        const li = document.createElement('li');
        li.textContent = file.name;
        li.className = i === current ? 'playing' : '';
        li.onclick = () => choose(i);
        return li;
    }));
}

function setDownloads(on) {
    for (const id of ['download-rom', 'download-wav', 'download-report']) $(id).disabled = !on;
}

function setControls(on) {
    for (const id of ['play', 'previous', 'next']) $(id).disabled = !on;
    for (const b of document.querySelectorAll('.song')) b.disabled = !on;
}

// Reads, imports and plays file `index` of the playlist (song `number` of its image).
async function choose(index, number = 0) {
    const rate = parseRate($('rate').value);
    if (rate.error) {
        status('nibtool: ' + rate.error, true);
        return;
    }
    current = index;
    showPlaylist();
    const file = playlist[index];
    await freeWorker();
    const id = ask({ type: 'open', file: { name: file.name, bytes: file.bytes.slice(0), folder: file.folder },
                     rate: rate.rate, song: number });
    opening = id;
    $('progress').hidden = false;
    status(`${file.name}: reading`);
    const chosen = performance.now();
    let started = false; // the first song of this file plays from its start; a later one takes over
    let queue = Promise.resolve(); // one answer at a time: a song waits for the sound the last one made
    answers.set(id, (m) => (queue = queue.then(() => answer(m))));
    const answer = async (m) => {
        if (id !== opening) return;
        if (m.type === 'progress') status(`${file.name}: ${m.stage}…`);
        if (m.type === 'refused') {
            // As nibtool play passes over a file it cannot play: what played goes on.
            $('progress').hidden = true;
            status(m.line, true);
            showReport('', m.line);
            answers.delete(id);
        }
        if (m.type === 'song') {
            const takeOver = started && song !== null && song.rate === m.rate;
            if (!takeOver) {
                await soundAt(m.rate);
                if (context.state !== 'running') await context.resume().catch(() => {});
                song = { kind: m.kind, rate: m.rate, number, name: file.name };
                views = []; // the last song's views are heard no more
                lastFigures = lastModule = null;
                ++songsStarted;
                setDownloads(false);
                $('ab').disabled = true;
                source = 'rom';
                $('ab').textContent = 'A/B: ROM';
                $('report').replaceChildren();
            }
            started = true;
            tell({ type: 'song', prepared: m.prepared, takeOver, file: nibtoolName(file.name) }, [m.prepared.buffer]);
            if (!takeOver && m.kind === 'module') tell({ type: 'module', bytes: file.bytes.slice(0) });
            song.preview = m.preview;
            playing = true;
            tell({ type: 'pause', paused: false });
            setControls(true);
            $('play').textContent = 'Pause';
            if (m.preview) {
                song.firstSound = (performance.now() - chosen) / 1000;
                status(`${file.name}: playing the opening seconds (${m.seconds.toFixed(2)} s to import); importing the whole song…`);
            }
            if (m.notes) status($('status').textContent + '\n' + m.notes.trim());
        }
        if (m.type === 'done') {
            $('progress').hidden = true;
            Object.assign(song, { rom: m.rom, report: m.report, verdict: m.verdict, stem: m.name });
            showReport(m.verdict, m.report);
            setDownloads(true);
            $('ab').disabled = m.kind !== 'module';
            status(m.kind === 'module'
                ? `${file.name}: imported at ${song.rate} Hz in ${m.seconds.toFixed(1)} s; the whole import plays`
                : `${file.name}: a ROM image, playing song ${number} at ${song.rate} Hz`);
            answers.delete(id);
        }
    };
}

function showReport(verdict, report) {
    const headline = verdictHeadline(verdict, report);
    const first = document.createElement('strong');
    first.textContent = headline ? headline + '\n\n' : '';
    const rest = document.createElement('span');
    rest.textContent = report;
    $('report').replaceChildren(first, rest);
}

// Files from the file input or a drop; a folder is kept as one, for nibtool to answer.
async function addFiles(entries) {
    const files = [];
    for (const e of entries) {
        if (e.folder) files.push({ name: e.name, bytes: new ArrayBuffer(0), folder: true });
        else files.push({ name: e.file.name, bytes: await e.file.arrayBuffer(), folder: false });
    }
    if (files.length === 0) return;
    const first = playlist.length;
    playlist.push(...files);
    choose(first);
}

function dropped(event) {
    event.preventDefault();
    document.body.classList.remove('dragging');
    const entries = [];
    for (const item of event.dataTransfer.items) {
        if (item.kind !== 'file') continue;
        const entry = item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
        if (entry && entry.isDirectory) entries.push({ name: entry.name, folder: true });
        else entries.push({ file: item.getAsFile(), folder: false });
    }
    addFiles(entries);
}

// ---- Controls -------------------------------------------------------------------------------------

async function playPause() {
    if (!song || !context) return;
    if (context.state !== 'running') await context.resume();
    playing = !playing;
    tell({ type: 'pause', paused: !playing });
    $('play').textContent = playing ? 'Pause' : 'Play';
}

function step(direction) {
    if (song) tell({ type: 'step', direction });
}

function switchSource() {
    if (!song || song.kind !== 'module') return;
    source = source === 'rom' ? 'module' : 'rom';
    tell({ type: 'source', source });
    $('ab').textContent = source === 'rom' ? 'A/B: ROM' : 'A/B: module (libxmp)';
}

function save(bytes, name, type) {
    const url = URL.createObjectURL(new Blob([bytes], { type }));
    const a = document.createElement('a');
    a.href = url;
    a.download = name;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
}

function downloadWav() {
    if (!song || !song.rom) return;
    $('download-wav').disabled = true;
    status(`${song.name}: rendering the WAV…`);
    const id = ask({ type: 'wav', rom: song.rom.slice(0), name: song.stem });
    answers.set(id, (m) => {
        answers.delete(id);
        $('download-wav').disabled = false;
        if (m.type === 'refused') return status(m.line, true);
        status(`${song.name}: WAV written`);
        save(m.bytes, downloadName(song.stem, '.wav'), 'audio/wav');
    });
}

function keys(event) {
    if (event.target.tagName === 'INPUT' && event.target.type === 'text') return;
    const k = event.key;
    if (k === ' ') playPause();
    else if (k === 'ArrowLeft') step(-1);
    else if (k === 'ArrowRight') step(1);
    else if (k === 'a' || k === 'A') switchSource();
    else if (k >= '1' && k <= '4' && current >= 0) choose(current, Number(k) - 1);
    else if (k === 'l' || k === 'L') $('loop').click();
    else if (k === 'e' || k === 'E') song && tell({ type: 'effect' });
    else return;
    event.preventDefault();
}

// ---- Start ----------------------------------------------------------------------------------------

async function start() {
    status('loading…');
    wasm = await (await fetch('nibweb.wasm')).arrayBuffer();
    await startWorker();
    // The sound at 8000 Hz, made now (a browser holds it suspended until the first click): the worklet and
    // its module are loaded while the page is still online, and the first song does not wait for them.
    soundAt(DEFAULT_RATE).catch(() => {});
    status('choose or drop a module or a ROM image');
    document.body.dataset.ready = '1';

    $('file').onchange = (e) => addFiles([...e.target.files].map((file) => ({ file, folder: false })));
    $('play').onclick = playPause;
    $('previous').onclick = () => step(-1);
    $('next').onclick = () => step(1);
    $('ab').onclick = switchSource;
    $('loop').onchange = (e) => {
        loop = e.target.checked;
        tell({ type: 'loop', loop });
    };
    for (const b of document.querySelectorAll('.song')) b.onclick = () => current >= 0 && choose(current, Number(b.dataset.song));
    $('download-rom').onclick = () => song && song.rom && save(song.rom, downloadName(song.stem, '.rom'), 'application/octet-stream');
    $('download-wav').onclick = downloadWav;
    $('download-report').onclick = () => song && save(
        (song.verdict ? verdictHeadline(song.verdict, song.report) + '\n\n' : '') + song.report + '\n',
        downloadName(song.stem, song.kind === 'module' ? '.report.txt' : '.info.txt'), 'text/plain');
    document.addEventListener('keydown', keys);
    document.addEventListener('dragover', (e) => { e.preventDefault(); document.body.classList.add('dragging'); });
    document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
    document.addEventListener('drop', dropped);
    // A click anywhere lets the page make sound from then on.
    document.addEventListener('pointerdown', () => {
        if (!sound) soundAt(DEFAULT_RATE).catch(() => {});
        else if (context && context.state !== 'running') context.resume();
    }, true);
    requestAnimationFrame(follow);
    // A copy of the page's files, so that it opens again without a network (web/sw.js). Browsers allow
    // service workers only on https and localhost: elsewhere the page works as before, online.
    if ('serviceWorker' in navigator) {
        page.offline = navigator.serviceWorker.register('sw.js').then(() => navigator.serviceWorker.ready)
            .then(() => true, () => false);
    }
}

// For the page's tests: a drop of entries ({ name, folder: true } for a folder), as `dropped` makes them.
page.drop = (entries) => addFiles(entries);

// For the page's tests: the engine's bytes as the worklet renders them, from now on, and what it
// rendered since.
let capturing = false;
page.capture = (on) => {
    capturing = on;
    tell({ type: 'capture', on });
};
page.take = () => new Promise((resolve) => {
    const before = captured.length;
    tell({ type: 'take', keep: true });
    const wait = () => (captured.length > before ? resolve(captured[captured.length - 1]) : setTimeout(wait, 10));
    wait();
});

start();
