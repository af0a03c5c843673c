// What the page knows of a batch, from the runner's events (see runner.js),
// without any of the page's elements: the counts of outcomes, the pictures
// made, the files done and those running, the files with a problem, and why
// the batch stopped. The view draws from it.
import { messages, refusal } from "./words.js";

// The page's reading of a result, as the command line's status and lines
// would be read.
export function outcome(result) {
    if (result.status !== 0 || result.refusal) return "refused";
    if (result.outputs.length === 0) return "skipped";
    return result.err.length > 0 ? "warnings" : "converted";
}

// `place` is where the outputs go (the destination's place), once known.
export function batchModel(entries) {
    return {
        entries,
        place: null,
        counts: { converted: 0, warnings: 0, refused: 0, skipped: 0 },
        pictures: 0,
        done: 0,
        running: new Map(),
        problems: new Set(),
        stopped: null,
        archive: null,
    };
}

// Takes `event` into `model`; for a result, answers its outcome and the
// lines shown for it on standard output.
export function apply(model, event) {
    const { entry, result } = event;
    switch (event.type) {
        case "running":
            model.running.set(entry, event.conversion);
            break;
        case "done":
            model.running.delete(entry);
            model.done++;
            break;
        case "stopped":
            model.stopped = { entry, text: refusal(entry, event.error, model.place) };
            break;
        case "finished":
            model.archive = event.archive;
            break;
        case "result": {
            const status = outcome(result);
            model.counts[status]++;
            model.pictures += result.outputs.length;
            if (status !== "converted") model.problems.add(entry);
            const own = result.refusal && refusal(entry, result.refusal, model.place);
            return { status, out: messages(entry, result, own, model.stopped && model.stopped.text) };
        }
    }
    return null;
}

// The files with a problem, in the batch's order.
export const problems = (model) => model.entries.filter((entry) => model.problems.has(entry));
