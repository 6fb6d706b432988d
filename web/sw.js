// The page's service worker: keeps a copy of the page's own files, so that once the page has been loaded
// it opens again, and works, without a network (everything it does happens in the page).
//
// Network first: while online every file is fetched as usual (so a rebuilt page is seen at once) and the
// copy refreshed; only a fetch that fails is answered from the copy. The files are copied when the worker
// is installed, so an offline reload has all of them even if the page never asked for one yet.
const CACHE = 'nibplay-page';
const FILES = ['./', 'index.html', 'page.css', 'app.js', 'glue.js', 'worker.js', 'worklet.js', 'nibweb.mjs', 'nibweb.wasm'];

self.addEventListener('install', (event) => {
    event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

// The page that registered the worker is served by it from now on, not only from its next load.
self.addEventListener('activate', (event) => event.waitUntil(self.clients.claim()));

self.addEventListener('fetch', (event) => {
    const request = event.request;
    if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
    event.respondWith(fetch(request).then((response) => {
        if (response.ok) {
            const copy = response.clone();
            event.waitUntil(caches.open(CACHE).then((cache) => cache.put(request, copy)));
        }
        return response;
    }, async (offline) => {
        const copy = await caches.match(request, { ignoreSearch: true });
        if (copy) return copy;
        throw offline;
    }));
});
