// The service worker of the hosted page: it keeps every file of the page
// from the first visit, so that the page loads and converts with the
// network gone, and an installed app starts without it. The build writes
// the page's version (a digest of its files) and their list below; a new
// version is kept under a cache of its own and replaces the old one whole,
// once the page asks for it (the user reloads with it, never in the middle
// of a batch) or no page of the old version is open any more.
"use strict";

const VERSION = "@VERSION@";
const FILES = ["./", @FILES@];
const PREFIX = "stereo-mpo-tools-";
const CACHE = PREFIX + VERSION;

self.addEventListener("install", (event) => {
    // Fetched past the browser's HTTP cache, which may hold an older file.
    const requests = FILES.map((file) => new Request(file, { cache: "reload" }));
    event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(requests)));
});

self.addEventListener("message", (event) => {
    if (event.data && event.data.type === "skip-waiting") self.skipWaiting();
});

self.addEventListener("activate", (event) => {
    event.waitUntil(
        caches
            .keys()
            .then((names) => names.filter((name) => name.startsWith(PREFIX) && name !== CACHE))
            .then((old) => Promise.all(old.map((name) => caches.delete(name))))
            .then(() => self.clients.claim()),
    );
});

// The page's own files from the cache; anything else (nothing, as the
// page's policy allows no other request) from the network.
self.addEventListener("fetch", (event) => {
    if (event.request.method !== "GET") return;
    event.respondWith(
        caches
            .open(CACHE)
            .then((cache) => cache.match(event.request, { ignoreSearch: true }))
            .then((cached) => cached || fetch(event.request)),
    );
});
