// What the page knows of its outputs, from the runner's events (see
// runner.js), without any of the page's elements: each file's outcome and
// the counts of files by outcome, the pictures made, the files done and
// those running, the files with a problem, the ZIP parts, and why a batch
// stopped. Every batch added to the page's outputs adds to the same model;
// the view draws from it.
import { early, messages, refusal } from "./words.js";

// The page's reading of a result, as the command line's status and lines
// would be read; the lines with which `conversion` reports what it did are
// no warnings.
export function outcome(result, { reports = 0 } = {}) {
    if (result.notConverted) return "not-started";
    if (result.notFed) return "not-made";
    if (result.status !== 0 || result.refusal) return "refused";
    if (result.outputs.length === 0) return "skipped";
    return result.err.length > reports ? "warnings" : "converted";
}

// A file's outcome, from its conversions': refused if any was; else with
// warnings if any had them; skipped if none made anything; else converted.
export function fileOutcome(statuses) {
    if (statuses.includes("refused")) return "refused";
    if (statuses.includes("warnings")) return "warnings";
    return statuses.every((status) => status === "skipped") ? "skipped" : "converted";
}

// `place` is where the outputs go (the destination's place), once known.
export function batchModel() {
    return {
        entries: [],
        place: null,
        // Files, by outcome.
        counts: { converted: 0, warnings: 0, refused: 0, skipped: 0, notStarted: 0 },
        pictures: 0,
        done: 0,
        running: new Map(),
        statuses: new Map(),
        reasons: new Map(),
        problems: new Set(),
        stopped: null,
        archive: null,
        // The ZIP parts offered ({ number, size, taken }), and what the
        // files done so far read and made, for how many parts to expect.
        parts: [],
        read: 0,
        made: 0,
    };
}

export function add(model, entries) {
    model.entries.push(...entries);
}

// Takes `event` into `model`; for a result, answers its outcome and the
// lines shown for it on standard output.
export function apply(model, event) {
    const { entry, result } = event;
    switch (event.type) {
        case "running":
            model.running.set(entry, event.conversion);
            break;
        case "refused":
            model.reasons.set(entry, early(entry, event.reason));
            break;
        case "done": {
            model.running.delete(entry);
            model.done++;
            model.read += entry.file.size;
            const file = fileOutcome(model.statuses.get(entry) || []);
            model.counts[file]++;
            if (file !== "converted") model.problems.add(entry);
            break;
        }
        case "not-started":
            model.counts.notStarted++;
            model.problems.add(entry);
            break;
        case "finished":
            model.archive = event.archive;
            break;
        case "result": {
            const status = outcome(result, event.conversion);
            model.statuses.set(entry, [...(model.statuses.get(entry) || []), status]);
            model.pictures += result.outputs.length;
            model.made += result.outputs.reduce((sum, output) => sum + output.size, 0);
            const own = result.refusal && refusal(entry, result.refusal, model.place);
            // The first file in the batch's order that could not be stored.
            if (own && (!model.stopped || entry.index < model.stopped.entry.index)) {
                model.stopped = { entry, text: own };
            }
            return { status, out: messages(entry, result, own) };
        }
    }
    return null;
}

// The files with a problem, in the batch's order.
export const problems = (model) => model.entries.filter((entry) => model.problems.has(entry));

// How many ZIP parts the outputs will make in all: the parts offered, and
// what is held and still to come at the bytes made per byte read so far
// (the tools make about as much as they read, times the conversions).
export function partsExpected(model) {
    const left = model.entries.reduce((sum, entry) => sum + entry.file.size, 0) - model.read;
    const offered = model.parts.reduce((sum, part) => sum + part.size, 0);
    const coming = model.read > 0 ? (left * model.made) / model.read : 0;
    return model.parts.length + Math.max(0, Math.ceil((model.made - offered + coming) / model.place.limit));
}
