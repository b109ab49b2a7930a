// The gallery: one page of captures, newest first, kept up to date by the server's events.
// Every text from the server is put in as text, never as markup.
"use strict";

(() => {
    const params = new URLSearchParams(location.search);
    const page = Math.max(1, parseInt(params.get("page") || "1", 10) || 1);
    const folder = params.has("folder") ? params.get("folder") : null;
    const frameBytes = 3328;
    let captures = [];
    let total = 0;
    let pageSize = 60;
    let folders = [];
    const nodes = new Map(); // key -> [the capture as JSON, its list item]

    function el(tag, attributes, ...children) {
        const node = document.createElement(tag);
        for (const [name, value] of Object.entries(attributes || {})) {
            if (name === "text") {
                node.textContent = value;
            } else {
                node.setAttribute(name, value);
            }
        }
        node.append(...children.filter((child) => child));
        return node;
    }

    const $ = (id) => document.getElementById(id);

    function when(capture) {
        const s = capture.stamp;
        return `${s.slice(0, 4)}-${s.slice(4, 6)}-${s.slice(6, 8)} ` +
            `${s.slice(9, 11)}:${s.slice(11, 13)}:${s.slice(13, 15)}`;
    }

    const folderLabel = (name) => (name === "" ? "(the folder itself)" : name);

    // The verdict in words: [text, whether it is bad news]; the newest tells more.
    function verdict(capture, big) {
        const record = capture.record;
        const lines = [];
        if (capture.verdict === "cut-short") {
            // "cut": the next print began before this one was whole; said by "cut short".
            const why = record ? { stalled: "stalled", "port-lost": "port lost",
                                   stopped: "stopped", cut: "" }[record.end] ?? record.end : "";
            lines.push([`cut short${why ? " (" + why + ")" : ""}` +
                        (record ? ` after ${record.bytes} of ${frameBytes} bytes` : "") +
                        ", no picture", true]);
        } else if (capture.verdict === "undecodable") {
            lines.push(["could not be decoded, no picture", true]);
        } else if (capture.verdict === "awaited") {
            lines.push(["picture on its way", false]);
        }
        if (!record && capture.verdict === "picture" && big) {
            lines.push(["no record beside it: end marker and line errors not known", false]);
        }
        if (record && capture.verdict !== "cut-short") {
            lines.push([record.endMarker ? "end marker present" : "end marker missing",
                        !record.endMarker]);
        }
        if (record) {
            const errors = record.lineErrors;
            if (errors === null) {
                lines.push(["line errors not counted", false]);
            } else {
                const sum = errors.framing + errors.parity + errors.overrun + errors.break;
                lines.push([sum === 0 ? "no line errors"
                    : `line errors: framing ${errors.framing}, parity ${errors.parity}, ` +
                      `overrun ${errors.overrun}, break ${errors.break}`, sum !== 0]);
            }
            if (record.port && big) {
                lines.push([`from ${record.port}`, false]);
            }
        }
        return lines;
    }

    function downloads(capture, big) {
        const links = el("div", { class: "links" });
        const add = (url, text, name) => {
            if (url) {
                links.append(el("a", { href: url, download: name, text }));
            }
        };
        add(capture.bmp, "BMP", capture.name + ".bmp");
        add(capture.png, "PNG", capture.name + ".png");
        if (capture.pngOfBmp) {
            for (const scale of big ? [1, 2, 4] : [1]) {
                const suffix = scale === 1 ? "" : `-x${scale}`;
                add(capture.pngOfBmp + (scale === 1 ? "" : `&scale=${scale}`),
                    scale === 1 ? "PNG" : `PNG \u00d7${scale}`, `${capture.name}${suffix}.png`);
            }
        }
        add(capture.raw, "raw .bin", capture.name + ".bin");
        add(capture.partial, "raw .partial.bin", capture.name + ".partial.bin");
        if (big) {
            add(capture.recordFile, "record", capture.name + ".json");
        }
        return links;
    }

    function picture(capture, scale) {
        const url = capture.bmp || capture.png;
        if (!url || capture.verdict === "cut-short" || capture.verdict === "undecodable") {
            const words = capture.verdict === "cut-short" ? "cut short"
                : capture.verdict === "awaited" ? "picture on its way" : "could not be decoded";
            return el("div", { class: "nopicture", text: words });
        }
        const image = el("img", { src: url, alt: `capture of ${when(capture)}` });
        image.width = 160 * scale;
        image.height = 160 * scale;
        return image;
    }

    function caption(capture, tag, big) {
        const words = el(tag);
        words.append(el("div", { class: "time", text: when(capture) }),
                     el("div", { class: "folder", text: folderLabel(capture.folder) }));
        for (const [text, bad] of verdict(capture, big)) {
            words.append(el("div", { class: bad ? "verdict bad" : "verdict", text }));
        }
        return words;
    }

    // The largest whole-number scale at which the newest fits beside its caption.
    function bigScale() {
        const room = Math.min(document.documentElement.clientWidth - 48, innerHeight * 0.7);
        return Math.max(1, Math.min(6, Math.floor(room / 160)));
    }

    function showNewest() {
        const newest = $("newest");
        newest.replaceChildren();
        if (page !== 1 || captures.length === 0) {
            return;
        }
        const capture = captures[0];
        const image = picture(capture, bigScale());
        image.id = "newest-picture";
        const words = caption(capture, "figcaption", true);
        words.append(downloads(capture, true));
        newest.append(el("figure", { "data-key": capture.key }, image, words));
    }

    function item(capture) {
        const words = caption(capture, "div", false);
        words.append(downloads(capture, false));
        return el("li", { "data-key": capture.key }, picture(capture, 1), words);
    }

    function pageLink(number, text) {
        const query = new URLSearchParams();
        if (folder !== null) {
            query.set("folder", folder);
        }
        if (number > 1) {
            query.set("page", number);
        }
        return el("a", { href: "/" + (query.toString() ? "?" + query : ""), text });
    }

    function showPager() {
        const pages = Math.max(1, Math.ceil(total / pageSize));
        for (const id of ["pager", "pager-end"]) {
            const nav = $(id);
            nav.replaceChildren();
            if (page > 1) {
                nav.append(pageLink(page - 1, "\u2190 newer"));
            }
            nav.append(el("span", { text: `page ${page} of ${pages}, ${total} captures` }));
            if (page < pages) {
                nav.append(pageLink(page + 1, "older \u2192"));
            }
        }
    }

    function showFolders() {
        const select = $("folder");
        $("filter").hidden = folders.length < 2;
        select.replaceChildren(el("option", { value: "\u0000all", text: "all folders" }));
        for (const name of folders) {
            const option = el("option", { text: folderLabel(name) });
            option.value = name;
            option.selected = name === folder;
            select.append(option);
        }
    }

    function show() {
        showNewest();
        const list = $("list");
        const seen = new Set();
        const items = captures.map((capture) => {
            const json = JSON.stringify(capture);
            let known = nodes.get(capture.key);
            if (!known || known[0] !== json) {
                known = [json, item(capture)];
                nodes.set(capture.key, known);
            }
            seen.add(capture.key);
            return known[1];
        });
        for (const key of nodes.keys()) {
            if (!seen.has(key)) {
                nodes.delete(key);
            }
        }
        list.replaceChildren(...items);
        $("empty").hidden = captures.length > 0;
        showPager();
    }

    let loads = 0; // only the answer to the latest look is shown
    let held = null; // events that came while a look was out: its answer may be older than they

    async function load() {
        const mine = ++loads;
        held = held || [];
        try {
            const query = new URLSearchParams({ page });
            if (folder !== null) {
                query.set("folder", folder);
            }
            const answer = await fetch("/captures?" + query, { cache: "no-store" });
            if (!answer.ok) {
                throw new Error(`the list: ${answer.status}`);
            }
            const listing = await answer.json();
            if (mine !== loads) {
                return;
            }
            captures = listing.captures;
            total = listing.total;
            pageSize = listing.pageSize;
            folders = listing.folders;
            showFolders();
            show();
        } finally {
            if (mine === loads) {
                const late = held;
                held = null;
                late.forEach(apply);
            }
        }
    }

    function changed(capture) {
        if (folder !== null && capture.folder !== folder) {
            return;
        }
        const at = captures.findIndex((known) => known.key === capture.key);
        if (at >= 0) {
            captures[at] = capture;
        } else if (page === 1) {
            // A new capture is among the newest on the first page only; older pages keep theirs.
            const before = captures.findIndex((known) => known.order < capture.order);
            captures.splice(before < 0 ? captures.length : before, 0, capture);
            captures.length = Math.min(captures.length, pageSize);
            total += 1;
            if (!folders.includes(capture.folder)) {
                folders.push(capture.folder);
                folders.sort();
                showFolders();
            }
        } else {
            return;
        }
        show();
    }

    function removed(key) {
        if (captures.some((known) => known.key === key)) {
            load().catch(() => {});
        }
    }

    function apply(message) {
        const data = JSON.parse(message.data);
        if (message.type === "capture") {
            changed(data);
        } else {
            removed(data.key);
        }
    }

    // The events come through the gallery's worker, shared by every tab of this browser.
    function listen() {
        const shared = typeof SharedWorker === "function";
        const worker = shared ? new SharedWorker("/gallery-worker.js", { name: "events" })
            : new Worker("/gallery-worker.js");
        const port = shared ? worker.port : worker;
        port.onmessage = ({ data: message }) => {
            if (message.type === "status") {
                $("live").textContent = message.text;
                $("live").className = message.down ? "down" : "";
            } else if (message.type === "capture" || message.type === "removed") {
                if (held) {
                    held.push(message);
                } else {
                    apply(message);
                }
            } else if (message.type === "reset") {
                load().catch(() => {});
            }
        };
        worker.onerror = () => {
            $("live").textContent = "no live updates";
            $("live").className = "down";
        };
        addEventListener("pagehide", () => port.postMessage("bye"));
        addEventListener("pageshow", (event) => {
            if (event.persisted) {
                port.postMessage("hello");
                load().catch(() => {});
            }
        });
    }

    $("folder").addEventListener("change", (event) => {
        const query = new URLSearchParams();
        if (event.target.value !== "\u0000all") {
            query.set("folder", event.target.value);
        }
        location.search = query.toString();
    });
    addEventListener("resize", showNewest);
    listen();
    load().catch((error) => {
        $("live").textContent = `cannot read the list (${error.message})`;
    });
})();
