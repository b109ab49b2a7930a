// The gallery's event stream, one for every tab of a browser: a browser opens at most 6
// connections to a host, and a stream in each tab would soon take them all. It runs as a
// SharedWorker, which lives as long as any tab of the gallery is open, or, in a browser
// without them, as each tab's own worker.
"use strict";

const ports = [];
let status = { type: "status", text: "connecting \u2026", down: true };

function send(message) {
    for (const port of ports) {
        port.postMessage(message);
    }
}

function tell(text, down) {
    status = { type: "status", text, down };
    send(status);
}

function listen() {
    const events = new EventSource("/events");
    for (const type of ["capture", "removed", "reset"]) {
        events.addEventListener(type, (event) => send({ type, data: event.data }));
    }
    events.onopen = () => {
        tell("live", false);
        send({ type: "reset" }); // what came before the stream opened, or while it was away
    };
    events.onerror = () => {
        if (events.readyState === EventSource.CLOSED) {
            // Refused (too many pages open): try again later.
            tell("no live updates: too many pages open", true);
            setTimeout(listen, 30000);
        } else {
            tell("reconnecting \u2026", true);
        }
    };
}

// A tab says "bye" as it goes (so that no events are sent to it in vain), "hello" as it comes
// back from the back-forward cache.
function join(port) {
    port.onmessage = (event) => {
        const at = ports.indexOf(port);
        if (event.data === "bye" && at >= 0) {
            ports.splice(at, 1);
        } else if (event.data === "hello" && at < 0) {
            ports.push(port);
            port.postMessage(status);
        }
    };
    ports.push(port);
    port.postMessage(status);
}

if (typeof SharedWorkerGlobalScope === "function" && self instanceof SharedWorkerGlobalScope) {
    self.onconnect = (event) => join(event.ports[0]);
} else {
    join(self);
}
listen();
