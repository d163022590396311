// Shared by the test pages. A page defines run(fixture) and includes this
// file; the driver sets window.fixture and calls startPage(fixture) once the
// page has loaded. Each check becomes one {name, ok, detail} entry of
// window.pageResult; every (method, route) pair a successful call reached is
// listed in window.pageReached, which the driver compares with what the
// page is meant to cover.
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

// The code at the end of GetLastErrorDesc's text, e.g. "0xa0072001".
function lastCode(obj) {
  var text = obj.GetLastErrorDesc();
  var m = /\((0x[0-9a-f]{8})\)$/.exec(text);
  return m ? m[1] : "no code in " + show(text);
}

function hex(code) {
  var s = (code >>> 0).toString(16);
  while (s.length < 8) s = "0" + s;
  return "0x" + s;
}

// The value of f(), or the text "raised <code>" when it raises.
function attempt(obj, f) {
  try { return f(); } catch (e) { return "raised " + lastCode(obj); }
}

function threw(f) {
  try { f(); return false; } catch (e) { return true; }
}

// Runs f, which must succeed and give a value accepted by accept (when
// given). Records one check; returns the value, or null after a failure.
// where = [method, route] marks the pair as reached on success.
function expectValue(obj, name, f, accept, where) {
  var value;
  try {
    value = f();
  } catch (e) {
    check(name, false, "raised: " + obj.GetLastErrorDesc().replace(/\n/g, " "));
    return null;
  }
  var ok = accept ? accept(value) : true;
  check(name, ok, show(value));
  if (ok && where) reach(where[0], where[1]);
  return ok ? value : null;
}

// f must raise a script exception and leave `code` (a number or a list of
// them; null: any failure code) as the last result.
function expectFail(obj, name, f, code) {
  var raisedIt = false, value;
  try { value = f(); } catch (e) { raisedIt = true; }
  var got = lastCode(obj);
  var codes = code === null ? [] : typeof code === "number" ? [code] : code;
  var wanted = codes.map(hex);
  var ok = raisedIt && (code === null ? /^0x[89a-f]/.test(got) : wanted.indexOf(got) >= 0);
  if (code === null) wanted = ["any failure"];
  check(name, ok, raisedIt ? "code " + got + (ok ? "" : ", wanted " + wanted.join(" or "))
                           : "did not raise, returned " + show(value));
  return ok;
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

function fileInfo(p) { return JSON.parse(host.fileInfo(p)); }

function startPage(fixture) {
  try {
    run(fixture);
  } catch (e) {
    window.pageError = String(e);
    check("page script", false, String(e) + (e.line ? " (line " + e.line + ")" : ""));
  }
  var pairs = [];
  for (var k in reachedPairs) pairs.push(k);
  window.pageReached = pairs;
  window.pageResult = checks;
  window.pageDone = true;
}
