// Every sentence the page says of its own: outcomes, the lines it adds where
// no tool could speak, where the outputs go, progress, the summary and its
// failures. The tools' own lines are theirs, shown as they print them.

// A result's outcome in words: colour only repeats it.
export const OUTCOMES = {
    converted: "Converted",
    warnings: "Converted with warnings: part of the picture may be grey",
    refused: "Refused",
    skipped: "Skipped: the name must end in .mpo or .MPO",
    "not-started": "Not started",
    "not-made": "Not made: the pair could not be aligned, and nothing is made from it unaligned",
};

// Why a conversion is not offered: its module is built for engines with
// WebAssembly SIMD only.
export const NEEDS_SIMD = "not offered: this browser lacks WebAssembly SIMD";

// What the batch was doing when it stopped, for the page's failure.
const DURING = { finish: "the ZIP could not be finished" };

export function plural(count, word) {
    return `${count} ${word}${count === 1 ? "" : "s"}`;
}

export function megabytes(bytes) {
    return bytes < 1e6 ? `${Math.max(0, Math.floor(bytes / 1e3))} kB` : `${Math.floor(bytes / 1e6)} MB`;
}

const gigabytes = (bytes) => `${(bytes / 1e9).toFixed(1)} GB`;

// The page gives up: it says what failed and what to do.
export function failure(what) {
    return (
        `${what}. Reload the page to try again. If this goes on, the page's folder may be incomplete ` +
        "(unpack its ZIP again) or the browser too old or short of memory: try another browser."
    );
}

export const cannotStart = (error) => failure(`The page could not start: ${error.message}`);

export function conversionStopped(error) {
    return failure(`The conversion stopped: ${error.during ? `${DURING[error.during]}: ${error}` : error.message}`);
}

export const offlineFailed = (error) => `This page could not be kept for working offline: ${error}`;

// Why the destination refused the outputs of `entry`.
export function refusal(entry, error, place) {
    const name = entry.name;
    if (place.kind === "folder") return `The outputs of ${name} could not be written into the folder: ${error}`;
    const kept = "The outputs before it are kept.";
    if (error.name !== "QuotaExceededError") return `The outputs of ${name} could not be stored: ${error}. ${kept}`;
    return (
        `There is no room to store the outputs of ${name}: one of them is larger than the ` +
        `${megabytes(place.limit)} of outputs the page keeps in memory here. ${kept}`
    );
}

// The one line of a file that the page refused before any conversion.
export function early(entry, reason) {
    switch (reason.kind) {
        case "name":
            return OUTCOMES.skipped;
        case "folder":
            return "This is a folder, not a file: pick or drop the files in it";
        case "large":
            return `This file is larger than this browser lets a page read (${gigabytes(reason.size)})`;
        case "gone":
            return "This file is gone: it was moved or deleted after it was picked";
        default:
            return `This file cannot be read: ${reason.error}`;
    }
}

// A result's lines on standard output, with what the page says itself where
// the tool could not: it stopped without saying why, or its outputs could
// not be stored (`refusalText`). A file refused before any conversion, or
// not converted as the batch stopped, has its one line under its name.
export function messages(entry, result, refusalText) {
    const name = entry.name;
    if (result.notConverted || result.notFed || result.early) return [];
    if (result.tooLarge) return [`File ${name} is too large for this browser`];
    const out = result.crashed ? [...result.out, `The conversion of ${name} stopped`] : result.out;
    return result.refusal ? [...out, refusalText] : out;
}

export function destination(place, { canChooseFolder }) {
    if (place.kind === "folder") return `The outputs are written into the folder ${place.folder}.`;
    const parts = `ZIP parts of at most ${megabytes(place.limit)}, each offered as it fills`;
    if (place.kind === "storage") {
        return (
            "The outputs go into one ZIP file, kept on this device until you start over " +
            `(or into ${parts}, should the browser's storage run out).`
        );
    }
    const first = canChooseFolder ? "Choose a folder for them first, or download" : "Download";
    return (
        `This browser gives the page no storage here, so the outputs are kept in memory and come as ${parts}. ` +
        `${first} each part when it is offered: the page goes on once it is downloaded. ` +
        `The browser's reason: ${place.reason}`
    );
}

export const folderNote = (entry) => `Its outputs are in the folder ${entry.folder}.`;

export const progress = (model) => `${model.done} of ${model.entries.length} files done`;

export function running(model) {
    const now = [...model.running].map(([entry, conversion]) => `${conversion.label} of ${entry.name}`);
    return now.length > 0 ? `Now: ${now.join("; ")}` : "";
}

export function summary(model) {
    const { counts } = model;
    const notStarted = counts.notStarted > 0 ? `, ${counts.notStarted} not started as the batch stopped` : "";
    const text =
        `${plural(model.entries.length, "file")}: ${counts.converted} converted, ` +
        `${counts.warnings} converted with warnings, ${counts.refused} refused, ${counts.skipped} skipped` +
        `${notStarted}; ${plural(model.pictures, "picture")} made.`;
    return model.stopped ? `${text} Stopped: ${model.stopped.text}` : text;
}

// The ZIP parts: how many, and what to do with them.
export function partsNote(count, limit, finished) {
    const many = finished ? plural(count, "part") : `about ${plural(count, "part")}`;
    return (
        `The outputs come in ZIP parts of at most ${megabytes(limit)} (${many}): download each as it is ` +
        "offered; the page lets go of it once downloaded and goes on."
    );
}

export const partName = (number) => `stereo-mpo-outputs-${number}.zip`;
export const partLabel = (part) => `Part ${part.number}, ${megabytes(part.size)}`;
export const partButton = (part) => `Download part ${part.number}`;
export const PART_TAKEN = "downloaded";

export const question = (count) =>
    `You picked ${plural(count, "file")} more. Add them to the outputs above, or start over with them ` +
    "(the outputs above are cleared)?";

export function notStarted(model) {
    const name = model.stopped && model.stopped.entry.name;
    return name ? `Not started: the batch stopped, as the outputs of ${name} could not be stored` : "Not started";
}

export const previewAlt = (conversion, entry) => `${conversion.label} of ${entry.name}`;

export const unreadableLink = (error) => ` (cannot be read: ${error})`;
