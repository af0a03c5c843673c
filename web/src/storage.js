// The storage worker: holds the page's destination (see destinations.js)
// and makes the small previews from what it stored, when the page shows
// them. Stores are handled one after another in the order they come, so
// that the room left is always measured after the last write; a store may
// wait there for room (for the page to take a ZIP part), so reading back,
// previews and taking a part do not queue behind it. Each ZIP part, as it
// is closed, is told to the page ("part").
import { openDestination } from "./destinations.js";
import { serve, tell } from "./messenger.js";

// Previews are this wide: a few hundred pixels, sharp on a screen of twice
// the density at the page's 15rem columns, and a tiny share of a 20 MP
// picture's memory.
const PREVIEW_WIDTH = 480;
const PREVIEW_QUALITY = 0.85;

let destination = null;
// Which destination a store is for: one that comes for the last one, once a
// new one was opened, is refused.
let generation = 0;
const stored = new Set();
let order = Promise.resolve();

function inOrder(task) {
    const done = order.then(task);
    order = done.catch(() => {});
    return done;
}

// A small JPEG of a stored picture; none where the browser cannot draw off
// the page.
async function preview({ name }) {
    if (typeof OffscreenCanvas === "undefined" || !stored.has(name)) return null;
    const blob = await destination.read(name);
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
    // A new destination in place of the last, whose outputs are let go (a
    // store of it waiting for room rejects at once).
    open({ folder, limit }) {
        const last = destination;
        destination = null;
        generation++;
        const gone = last ? last.remove() : null;
        return inOrder(async () => {
            await gone;
            stored.clear();
            destination = await openDestination({
                folder,
                limit,
                storage: navigator.storage,
                locks: navigator.locks,
                onPart: (part) => tell("part", part),
            });
            return { ...destination.place, generation };
        });
    },
    store: ({ name, bytes, of }) =>
        inOrder(async () => {
            if (of !== generation) throw new DOMException("the outputs were cleared", "AbortError");
            await destination.store(name, bytes);
            stored.add(name);
        }),
    read: ({ name }) => destination.read(name),
    finish: () => inOrder(() => destination.finish()),
    taken: ({ number }) => destination.taken(number),
    preview,
});
