// Every sentence the page says of its own: outcomes, the lines it adds where
// no tool could speak, where the outputs go, progress, the summary and its
// failures. The tools' own lines are theirs, shown as they print them.

// A result's outcome in words: colour only repeats it.
export const OUTCOMES = {
    converted: "Converted",
    warnings: "Converted with warnings: part of the picture may be grey",
    refused: "Refused",
    skipped: "Skipped: the name must end in .mpo or .MPO",
};

// What the batch was doing when it stopped, for the page's failure.
const DURING = { begin: "the storage could not start", finish: "the ZIP could not be finished" };

export function plural(count, word) {
    return `${count} ${word}${count === 1 ? "" : "s"}`;
}

export function megabytes(bytes) {
    return `${Math.max(0, Math.floor(bytes / 1e6))} MB`;
}

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
    const kept =
        "The outputs before it are kept: download them before converting the rest, as a new batch clears them.";
    if (error.name !== "QuotaExceededError") return `The outputs of ${name} could not be stored: ${error}. ${kept}`;
    const why =
        place.kind === "memory"
            ? `the page keeps at most ${megabytes(place.limit)} of outputs in memory here`
            : "the browser gives this page no more storage";
    return `There is no room left to store the outputs of ${name}: ${why}. ${kept}`;
}

// A result's lines on standard output, with what the page says itself where
// the tool could not: it never saw the file, it stopped without saying why,
// or its outputs could not be stored. `stopped` is the batch's refusal text.
export function messages(entry, result, refusalText, stopped) {
    const name = entry.name;
    if (result.notConverted) return [`Not converted: ${stopped}`];
    if (result.unreadable) return [`File ${name} cannot be read: too large for this browser, or not a file`];
    if (result.tooLarge) return [`File ${name} is too large for this browser`];
    const out = result.crashed ? [...result.out, `The conversion of ${name} stopped`] : result.out;
    return result.refusal ? [...out, refusalText] : out;
}

export function destination(place, { canChooseFolder, openedAsFile }) {
    if (place.kind === "folder") return `The outputs are written into the folder ${place.folder}.`;
    if (place.kind === "storage") return "The outputs go into one ZIP file, kept on this device until the next batch.";
    const more = canChooseFolder
        ? ": choose a folder for more."
        : openedAsFile
          ? ": put the page on a web host for more."
          : ".";
    return (
        "This browser gives the page no storage here, so the outputs are kept in memory, " +
        `${megabytes(place.limit)} at most${more} The browser's reason: ${place.reason}`
    );
}

export const destinationChosen = (folder) =>
    folder ? `The outputs will be written into the folder ${folder}.` : "The outputs will go into one ZIP file.";

export const folderNote = (entry) => `Its outputs are in the folder ${entry.folder}.`;

export const progress = (model) => `${model.done} of ${model.entries.length} files done`;

export function running(model) {
    const now = [...model.running].map(([entry, conversion]) => `${conversion.label} of ${entry.name}`);
    return now.length > 0 ? `Now: ${now.join("; ")}` : "";
}

export function summary(model) {
    const { counts } = model;
    const text =
        `${plural(model.entries.length, "file")}: ${plural(model.pictures, "picture")} made, ` +
        `${counts.warnings} with warnings, ${counts.refused} refused, ${counts.skipped} skipped`;
    return model.stopped ? `${text}. Stopped: ${model.stopped.text}` : text;
}

export const previewAlt = (conversion, entry) => `${conversion.label} of ${entry.name}`;

export const unreadableLink = (error) => ` (cannot be read: ${error})`;
