// The storage worker: holds the current batch's destination (see
// destinations.js) and makes the small previews from what it stored, when
// the page shows them. Requests are handled one after another in the order
// they come, so that the room left is always measured after the last write
// and a new batch's destination replaces the last one only once the last
// one's requests are answered.
import { downloadZip } from "client-zip";
import { openDestination } from "./destinations.js";
import { serve } from "./messenger.js";

// Previews are this wide: a few hundred pixels, sharp on a screen of twice
// the density at the page's 15rem columns, and a tiny share of a 20 MP
// picture's memory.
const PREVIEW_WIDTH = 480;
const PREVIEW_QUALITY = 0.85;

let destination = null;
const stored = new Set();
let order = Promise.resolve();

function inOrder(task) {
    const done = order.then(task);
    order = done.catch(() => {});
    return done;
}

// A small JPEG of a stored picture; none where the browser cannot draw off
// the page. It takes its place in the order only to read its picture:
// drawing it, which may take a while, holds up nothing.
async function preview({ name }) {
    if (typeof OffscreenCanvas === "undefined") return null;
    const blob = await inOrder(() => (stored.has(name) ? destination.read(name) : null));
    if (!blob) return null;
    // Decoded at the preview's size where the browser can, so that the whole
    // picture is never held as pixels; drawn to size either way.
    // (From its bytes: WebKit cannot read a slice of a Blob made in memory.)
    const bitmap = await createImageBitmap(new Blob([await blob.arrayBuffer()], { type: "image/jpeg" }), {
        resizeWidth: PREVIEW_WIDTH,
        resizeQuality: "medium",
    });
    const height = Math.max(1, Math.round((bitmap.height * PREVIEW_WIDTH) / bitmap.width));
    const canvas = new OffscreenCanvas(PREVIEW_WIDTH, height);
    canvas.getContext("2d").drawImage(bitmap, 0, 0, canvas.width, canvas.height);
    bitmap.close();
    return canvas.convertToBlob({ type: "image/jpeg", quality: PREVIEW_QUALITY });
}

serve({
    ready: () => true,
    begin: ({ folder }) =>
        inOrder(async () => {
            if (destination) await destination.remove();
            stored.clear();
            destination = await openDestination({
                folder,
                storage: navigator.storage,
                locks: navigator.locks,
                downloadZip,
            });
            return destination.place;
        }),
    store: ({ name, bytes }) =>
        inOrder(async () => {
            await destination.store(name, bytes);
            stored.add(name);
        }),
    read: ({ name }) => inOrder(() => destination.read(name)),
    finish: () => inOrder(() => destination.finish()),
    preview,
});
