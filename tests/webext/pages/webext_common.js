// Shared by the bridge's test pages, the awaited form of the plug-in pages'
// common.js. A page defines `async function run(fixture)` and includes this
// file; the runner sets window.fixture and calls startPage(fixture) once the
// page has loaded and window.npSigil is there. Each check becomes one
// {name, ok, detail} entry of window.pageResult; every (method, route) pair a
// successful call reached is listed in window.pageReached.
var checks = [];
var reachedPairs = {};

function check(name, ok, detail) {
  checks.push({name: name, ok: !!ok, detail: detail === undefined ? "" : String(detail)});
  return !!ok;
}

function show(value) {
  var text = JSON.stringify(value);
  if (typeof text === "string" && text.length > 160) text = text.substring(0, 157) + "...";
  return text;
}

function reach(method, route) { reachedPairs[method + " @ " + route] = true; }

function hex(code) {
  var s = (code >>> 0).toString(16);
  while (s.length < 8) s = "0" + s;
  return "0x" + s;
}

// What a rejection says, shortly.
function describe(e) {
  if (e && e.name === "NpSigilError")
    return (e.reason || "?") + " " + (e.hex || hex(e.code)) + ": " + String(e.message).replace(/\n/g, " ");
  return "not an NpSigilError: " + String(e);
}

// The code at the end of GetLastErrorDesc's text, e.g. "0xa0072001".
async function lastCode(agent) {
  var text = await (agent || npSigil).GetLastErrorDesc();
  var m = /\((0x[0-9a-f]{8})\)$/.exec(text);
  return m ? m[1] : "no code in " + show(text);
}

// The value f() resolves to, or "rejected <hex>" when it rejects.
async function attempt(f) {
  try { return await f(); } catch (e) { return "rejected " + (e && e.hex ? e.hex : String(e)); }
}

async function rejects(f) {
  try { await f(); return false; } catch (e) { return true; }
}

// f must resolve to a value accepted by accept (when given). Records one
// check; returns the value, or null after a failure. where = [method, route]
// marks the pair as reached on success.
// A page with more than one agent (see newAgent) names the agent first:
// expectValue(agent, name, f, ...).
async function expectValue(name, f, accept, where) {
  if (typeof name !== "string") return await expectValueOn.apply(null, arguments);
  return await expectValueOn(npSigil, name, f, accept, where);
}

async function expectValueOn(agent, name, f, accept, where) {
  var value;
  try {
    value = await f();
  } catch (e) {
    check(name, false, "rejected: " + describe(e));
    return null;
  }
  var ok = accept ? accept(value) : true;
  check(name, ok, show(value));
  if (ok && where) reach(where[0], where[1]);
  return ok ? value : null;
}

// Reasons whose message is the agent's own last error text.
var AGENT_REASONS = ["failed", "file-not-granted"];

// f must reject with an NpSigilError whose code is `code` (a number or a list
// of them; null: any failure code). When the agent failed, the rejection's
// message must be what GetLastErrorDesc gives right after. reason, when
// given, must match too. Returns the error, or null after a failure.
async function expectFail(name, f, code, reason) {
  if (typeof name !== "string") return await expectFailOn.apply(null, arguments);
  return await expectFailOn(npSigil, name, f, code, reason);
}

async function expectFailOn(agent, name, f, code, reason) {
  var error = null, value;
  try { value = await f(); } catch (e) { error = e; }
  if (error === null) {
    check(name, false, "did not reject, resolved to " + show(value));
    return null;
  }
  if (!error || error.name !== "NpSigilError") {
    check(name, false, describe(error));
    return null;
  }
  var got = hex(error.code);
  var codes = code === null || code === undefined ? [] : typeof code === "number" ? [code] : code;
  var wanted = codes.map(hex);
  var ok = codes.length === 0 ? /^0x[89a-f]/.test(got) : wanted.indexOf(got) >= 0;
  var detail = "code " + got + " (" + error.reason + ")";
  if (!ok) detail += ", wanted " + (codes.length ? wanted.join(" or ") : "any failure");
  if (error.hex !== got) { ok = false; detail += ", hex field " + show(error.hex); }
  if (reason && error.reason !== reason) { ok = false; detail += ", wanted reason " + reason; }
  if (AGENT_REASONS.indexOf(error.reason) >= 0) {
    var desc = await agent.GetLastErrorDesc();
    if (desc !== error.message) {
      ok = false;
      detail += ", message " + show(error.message) + " but GetLastErrorDesc " + show(desc);
    }
  }
  check(name, ok, detail);
  return ok ? error : null;
}

function isBase64(text) {
  return typeof text === "string" && text.length > 0 && /^[A-Za-z0-9+\/]+=*$/.test(text) &&
         text.length % 4 === 0;
}

// The Base64 text with one byte of its decoded form changed; `at` counts
// from the end when negative.
function tamperBase64(text, at) {
  var bytes = atob(text);
  var i = at < 0 ? bytes.length + at : at;
  var flipped = String.fromCharCode(bytes.charCodeAt(i) ^ 0x5a);
  return btoa(bytes.substring(0, i) + flipped + bytes.substring(i + 1));
}

function path(folder, name) { return folder + "/" + name; }

// One host function of the runner (files, stand-in dialogs, site lists).
async function host(name) {
  var args = Array.prototype.slice.call(arguments, 1);
  var response = await fetch("/host/" + name, {method: "POST", body: JSON.stringify(args)});
  if (!response.ok) throw new Error("host " + name + ": HTTP " + response.status);
  var text = await response.text();
  return text === "" ? null : JSON.parse(text);
}

// Another agent of this page's origin: each document has its own, so a new
// same-origin frame gives a fresh one (nothing selected, no answers given).
// Resolves to the frame's npSigil.
var agentFrames = 0;
async function newAgent(label) {
  var frame = document.createElement("iframe");
  frame.src = "frames/agent.html#" + encodeURIComponent(label || String(agentFrames));
  frame.width = frame.height = "1";
  frame.id = "agent-" + (++agentFrames);
  document.body.appendChild(frame);
  var started = Date.now();
  while (Date.now() - started < 15000) {
    var w = frame.contentWindow;
    try {
      if (w && w.npSigil && w.document.readyState === "complete") return w.npSigil;
    } catch (e) { /* not yet our document */ }
    await new Promise(function (r) { setTimeout(r, 50); });
  }
  throw new Error("no npSigil in a new frame (" + (label || agentFrames) + ")");
}

function sleep(ms) { return new Promise(function (r) { setTimeout(r, ms); }); }

async function fileInfo(p) { return await host("fileInfo", p); }

async function startPage(fixture) {
  // The origin the bridge sees is where this page came from.
  fixture.origin = location.origin;
  try {
    await run(fixture);
  } catch (e) {
    window.pageError = String(e);
    check("page script", false, String(e) + (e && e.stack ? " " + String(e.stack).split("\n")[1] : ""));
  }
  var pairs = [];
  for (var k in reachedPairs) pairs.push(k);
  window.pageReached = pairs;
  window.pageResult = checks;
  window.pageDone = true;
}
