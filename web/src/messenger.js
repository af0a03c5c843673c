// The one way the page talks to its workers. The page calls
// `messenger.call(type, args)`, which resolves with what the worker's
// handler of that type returned, and rejects with the handler's error, or
// once the worker fails or is ended: no call waits for a worker that is gone.
// The worker side is `serve(handlers)`; it may also `tell(type, value)` what
// happens of its own, which the page hears with `messenger.on(type, listener)`.

// Ends the page's side of a worker that failed or was ended.
function ended(what, reason) {
    return Object.assign(new Error(`${what} stopped: ${reason}`), { name: "WorkerEnded" });
}

// The page's side of `worker` (a Worker, or anything with postMessage,
// onmessage, onerror and terminate); `what` names it in errors.
export function connect(worker, what) {
    const pending = new Map();
    const listeners = new Map();
    let last = 0;
    let end = null;
    const finish = (error) => {
        end = end || error;
        for (const { reject } of pending.values()) reject(end);
        pending.clear();
    };
    worker.onmessage = ({ data }) => {
        if (data.event) return (listeners.get(data.event) || (() => {}))(data.value);
        const waiting = pending.get(data.id);
        if (!waiting) return;
        pending.delete(data.id);
        if (data.error) waiting.reject(Object.assign(new Error(data.error.message), { name: data.error.name }));
        else waiting.resolve(data.result);
    };
    worker.onerror = (event) => {
        if (event.preventDefault) event.preventDefault();
        finish(ended(what, event.message || "it could not start"));
    };
    return {
        get ended() {
            return end !== null;
        },
        on(type, listener) {
            listeners.set(type, listener);
        },
        call(type, args = {}, transfer = []) {
            if (end) return Promise.reject(end);
            const id = ++last;
            return new Promise((resolve, reject) => {
                pending.set(id, { resolve, reject });
                worker.postMessage({ id, type, args }, transfer);
            });
        },
        // Stops the worker where it stands; whatever it was asked rejects
        // with `reason`.
        end(reason = ended(what, "it was let go")) {
            worker.terminate();
            finish(reason);
        },
    };
}

const TRANSFER = Symbol("transfer");

// A handler's answer whose `transfer` list moves to the page rather than
// being copied.
export function transferring(value, transfer) {
    return { [TRANSFER]: transfer, value };
}

// The worker's side of an event: the page's listener of `type` hears `value`.
export function tell(type, value, scope = self) {
    scope.postMessage({ event: type, value });
}

// The worker's side: each message is handed to the handler of its type as
// it comes; its value, or its error by name and message, goes back.
export function serve(handlers, scope = self) {
    scope.onmessage = async ({ data: { id, type, args } }) => {
        try {
            let result = await handlers[type](args);
            let transfer = [];
            if (result && result[TRANSFER]) ({ value: result, [TRANSFER]: transfer } = result);
            scope.postMessage({ id, result }, transfer);
        } catch (error) {
            const { name = "Error", message = String(error) } = error || {};
            scope.postMessage({ id, error: { name, message } });
        }
    };
}
