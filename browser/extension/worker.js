// One native port to npsigil-bridge for the whole profile; one session on it
// per document port. The worker may be suspended and restarted at any time,
// so everything here is rebuilt on demand: a lost host connection simply
// fails what was in flight, and the next call starts a fresh host.
"use strict";

const HOST_NAME = "org.npsigil.bridge";
const PROTOCOL = 1;
const E_FAIL = 0x80004005;
const E_INVALIDARG = 0x80070057;
const E_OUTOFMEMORY = 0x8007000E;
// The host reads no request over 32 MiB; one that large is refused here,
// where the call it belongs to is still known.
const MAX_REQUEST_BYTES = 32 * 1024 * 1024;
// A host that never says hello (a wrong program registered under our name)
// must not leave calls waiting for ever.
const HELLO_TIMEOUT_MS = 10000;

let nativeConn = null;    // {port, hello, queue, generation, pending: Map, statusWaiters}
let generation = 0;
let nextSession = 1;

function originOf(url) {
  try {
    const u = new URL(url);
    return u.origin;
  } catch (e) {
    return "null";
  }
}

// The arguments' size as the host will read them, JSON-escaped; counted
// exactly only when the characters alone come near the limit.
function utf8Length(args) {
  const text = JSON.stringify(args);
  if (text.length * 3 <= MAX_REQUEST_BYTES) return text.length;
  return new TextEncoder().encode(text).length;
}

function failAll(conn, reason, message) {
  for (const [, p] of conn.pending) {
    p.page.reply({id: p.pageId, ok: false, reason, code: E_FAIL, message});
  }
  conn.pending.clear();
  for (const [, m] of conn.managing) m.reply({id: m.pageId, ok: false, reason, message});
  conn.managing.clear();
  for (const w of conn.statusWaiters) w({host: false, reason, message});
  conn.statusWaiters = [];
}

function send(conn, frame) {
  if (conn.hello) conn.port.postMessage(frame);
  else conn.queue.push(frame);
}

function startHost() {
  const conn = {port: null, hello: null, queue: [], generation: ++generation, pending: new Map(),
                statusWaiters: [], nextId: 1, dead: false, managing: new Map(), nextManage: 1};
  nativeConn = conn;
  let port;
  try {
    port = chrome.runtime.connectNative(HOST_NAME);
  } catch (e) {
    conn.dead = true;
    nativeConn = null;
    return {conn, error: String(e && e.message || e)};
  }
  conn.port = port;
  conn.helloTimer = setTimeout(() => {
    if (conn.hello || conn.dead) return;
    conn.dead = true;
    if (nativeConn === conn) nativeConn = null;
    failAll(conn, "host-unavailable", "npsigil-bridge did not answer in time.");
    try { port.disconnect(); } catch (e) { /* already gone */ }
  }, HELLO_TIMEOUT_MS);
  port.onMessage.addListener((msg) => onHostMessage(conn, msg));
  port.onDisconnect.addListener((p) => {
    conn.dead = true;
    if (nativeConn === conn) nativeConn = null;
    const err = chrome.runtime.lastError || (p && p.error);
    const text = err && err.message ? err.message : "Native host has exited.";
    if (conn.hello) failAll(conn, "host-exited", text);
    else if (conn.mismatch) failAll(conn, "version-mismatch", conn.mismatch);
    else failAll(conn, "host-unavailable", text);
  });
  return {conn};
}

function host() {
  if (nativeConn && !nativeConn.dead) return {conn: nativeConn};
  return startHost();
}

function onHostMessage(conn, msg) {
  if (!msg || typeof msg !== "object") return;
  if (!conn.hello) {
    if (msg.type !== "hello" || msg.protocol !== PROTOCOL) {
      conn.mismatch = "npsigil-bridge speaks protocol " + String(msg.protocol) +
                      "; this extension needs protocol " + PROTOCOL + ".";
      failAll(conn, "version-mismatch", conn.mismatch);
      conn.dead = true;
      if (nativeConn === conn) nativeConn = null;
      try { conn.port.disconnect(); } catch (e) { /* already gone */ }
      return;
    }
    conn.hello = msg;
    clearTimeout(conn.helloTimer);
    for (const w of conn.statusWaiters) {
      w({host: true, version: String(msg.version), protocol: msg.protocol});
    }
    conn.statusWaiters = [];
    for (const f of conn.queue) conn.port.postMessage(f);
    conn.queue = [];
    return;
  }
  if (msg.type === "chunk" || msg.type === "result") {
    const key = msg.session + ":" + msg.id;
    const p = conn.pending.get(key);
    if (!p) return;
    if (msg.type === "chunk") {
      if (msg.seq !== p.chunks.length || typeof msg.data !== "string") {
        conn.pending.delete(key);
        p.page.reply({id: p.pageId, ok: false, reason: "protocol", code: E_INVALIDARG,
                      message: "npsigil-bridge sent a piece of the answer out of order."});
        return;
      }
      // Passed on as it comes: one huge message through the page's port
      // costs far more than the same bytes in pieces.
      p.chunks.push(true);
      p.page.reply({id: p.pageId, piece: msg.data});
      return;
    }
    conn.pending.delete(key);
    if (msg.ok) {
      let value = msg.value;
      if (typeof msg.chunks === "number") {
        if (msg.chunks !== p.chunks.length) {
          p.page.reply({id: p.pageId, ok: false, reason: "protocol", code: E_INVALIDARG,
                        message: "npsigil-bridge's answer arrived incomplete."});
          return;
        }
        p.page.reply({id: p.pageId, ok: true, pieces: p.chunks.length});
        return;
      }
      p.page.reply({id: p.pageId, ok: true, value});
    } else {
      p.page.reply({id: p.pageId, ok: false, reason: String(msg.reason || "failed"),
                    code: typeof msg.code === "number" ? msg.code : E_FAIL,
                    message: String(msg.message || "")});
    }
    return;
  }
  if (msg.type === "managed") {
    const m = conn.managing.get(msg.id);
    if (!m) return;
    conn.managing.delete(msg.id);
    m.reply({id: m.pageId, ok: !!msg.ok, value: msg.value, message: String(msg.message || "")});
    return;
  }
  if (msg.type === "error") {
    // An error naming a session (its open refused, say) ends every call
    // waiting on it; one without is about a frame nobody can be told of.
    if (typeof msg.session === "number") {
      for (const [key, p] of conn.pending) {
        if (!key.startsWith(msg.session + ":")) continue;
        conn.pending.delete(key);
        p.page.reply({id: p.pageId, ok: false, reason: String(msg.reason || "failed"),
                      code: typeof msg.code === "number" ? msg.code : E_FAIL,
                      message: String(msg.message || "")});
      }
    }
    console.warn("npsigil-bridge:", msg.reason, msg.message);
  }
}

// The extension's own options page: what the user allowed, and taking it
// back. Only that page of this extension may ask; a web page's relay
// connects under another name and can never reach these messages.
function serveOptions(port) {
  const reply = (msg) => { try { port.postMessage(msg); } catch (e) { /* page gone */ } };
  port.onMessage.addListener((msg) => {
    if (!msg || typeof msg.id !== "number" || typeof msg.action !== "string") return;
    const {conn, error} = host();
    if (error) {
      reply({id: msg.id, ok: false, reason: "host-unavailable", message: error});
      return;
    }
    if (msg.action === "status") {
      const done = (s) => reply({id: msg.id, ok: true, value: s});
      if (conn.hello) done({host: true, version: String(conn.hello.version)});
      else conn.statusWaiters.push(done);
      return;
    }
    const id = conn.nextManage++;
    conn.managing.set(id, {reply, pageId: msg.id});
    send(conn, {type: "manage", id, action: msg.action,
                origin: typeof msg.origin === "string" ? msg.origin : "",
                folder: typeof msg.folder === "string" ? msg.folder : ""});
  });
}

chrome.runtime.onConnect.addListener((port) => {
  const sender = port.sender || {};
  if (port.name === "npsigil-options" && sender.id === chrome.runtime.id &&
      typeof sender.url === "string" && sender.url.startsWith(chrome.runtime.getURL("options.html"))) {
    serveOptions(port);
    return;
  }
  if (port.name !== "npsigil-page" || sender.id !== chrome.runtime.id) {
    port.disconnect();
    return;
  }
  const page = {
    port,
    session: 0,
    openedOn: 0,
    alive: true,
    origin: typeof sender.origin === "string" ? sender.origin : originOf(sender.url),
    top: sender.tab && sender.tab.url ? originOf(sender.tab.url) : "null",
    tab: sender.tab && typeof sender.tab.id === "number" ? sender.tab.id : -1,
    frame: typeof sender.frameId === "number" ? sender.frameId : 0,
    document: typeof sender.documentId === "string" ? sender.documentId : "",
    incognito: !!(sender.tab && sender.tab.incognito),
    reply(msg) {
      if (!page.alive) return;
      try { port.postMessage(msg); } catch (e) { page.alive = false; }
    },
  };

  // Sessions are per host connection: a new host gets a fresh open frame.
  function ensureSession(conn) {
    if (page.openedOn === conn.generation) return;
    page.session = nextSession++;
    page.openedOn = conn.generation;
    send(conn, {type: "open", session: page.session, origin: page.origin, top: page.top,
                tab: page.tab, frame: page.frame, document: page.document,
                incognito: page.incognito});
  }

  port.onMessage.addListener((msg) => {
    if (!msg || typeof msg.id !== "number" || typeof msg.method !== "string" ||
        !Array.isArray(msg.args)) {
      return;
    }
    const {conn, error} = host();
    if (error) {
      page.reply({id: msg.id, ok: false, reason: "host-unavailable", code: E_FAIL, message: error});
      return;
    }
    if (utf8Length(msg.args) > MAX_REQUEST_BYTES) {
      page.reply({id: msg.id, ok: false, reason: "too-large", code: E_OUTOFMEMORY,
                  message: "The call's arguments are larger than npSigil accepts (32 MiB)."});
      return;
    }
    if (msg.method === "status") {
      const done = (s) => page.reply({id: msg.id, ok: true,
                                      value: Object.assign({extension: true}, s)});
      if (conn.hello) done({host: true, version: String(conn.hello.version),
                            protocol: conn.hello.protocol});
      else conn.statusWaiters.push(done);
      return;
    }
    ensureSession(conn);
    const id = conn.nextId++;
    conn.pending.set(page.session + ":" + id, {page, pageId: msg.id, chunks: []});
    send(conn, {type: "call", session: page.session, id, method: msg.method, args: msg.args});
  });

  port.onDisconnect.addListener(() => {
    page.alive = false;
    const conn = nativeConn;
    if (!conn || conn.dead || page.openedOn !== conn.generation) return;
    for (const [key, p] of conn.pending) if (p.page === page) conn.pending.delete(key);
    send(conn, {type: "close", session: page.session});
  });
});
