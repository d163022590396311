// Between the page's world and the extension's worker. The page can post
// anything here, so only the channel's shape is trusted; who the page is
// comes from the browser's sender record in the worker, never from here.
(() => {
  "use strict";
  const TAG = "npsigil-8c1f3e:v1";
  let port = null;
  const pending = new Set();
  const pieces = new Map();

  function answer(id, msg) {
    window.postMessage(Object.assign({channel: TAG, dir: "to-page", id}, msg), "*");
  }

  function connect() {
    port = chrome.runtime.connect({name: "npsigil-page"});
    port.onMessage.addListener((msg) => {
      if (!msg || typeof msg !== "object") return;
      if (!pending.has(msg.id)) return;
      if (typeof msg.piece === "string") {
        if (!pieces.has(msg.id)) pieces.set(msg.id, []);
        pieces.get(msg.id).push(msg.piece);
        return;
      }
      pending.delete(msg.id);
      let value = msg.value;
      const got = pieces.get(msg.id) || [];
      pieces.delete(msg.id);
      if (msg.ok && typeof msg.pieces === "number") {
        if (got.length !== msg.pieces) {
          answer(msg.id, {ok: false, reason: "protocol", code: 0x80070057,
                          message: "The answer arrived incomplete."});
          return;
        }
        value = got.join("");
      }
      answer(msg.id, {ok: !!msg.ok, value, reason: msg.reason, code: msg.code,
                      message: msg.message});
    });
    port.onDisconnect.addListener(() => {
      const err = chrome.runtime.lastError;
      const reason = "host-exited";
      const message = "The connection to npSigil ended" + (err ? ": " + err.message : ".");
      port = null;
      for (const id of pending) answer(id, {ok: false, reason, message});
      pending.clear();
      pieces.clear();
    });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window) return;
    const d = event.data;
    if (!d || typeof d !== "object" || d.channel !== TAG || d.dir !== "to-relay") return;
    if (typeof d.id !== "number" || typeof d.method !== "string" || !Array.isArray(d.args)) return;
    if (pending.has(d.id)) return;
    try {
      if (!port) connect();
      pending.add(d.id);
      port.postMessage({id: d.id, method: d.method, args: d.args});
    } catch (e) {
      pending.delete(d.id);
      // The extension itself is gone here (reloaded, updated, disabled):
      // the browser's text says which.
      port = null;
      answer(d.id, {ok: false, reason: "extension-unavailable",
                    message: String(e && e.message || e)});
    }
  });
})();
