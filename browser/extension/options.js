// Shows whether the program on this computer answers, through the worker's
// own status request (no host session is opened for it).
"use strict";
const text = (key) => chrome.i18n.getMessage(key);
document.title = text("optionsTitle");
document.getElementById("host-label").textContent = text("optionsHost");
document.getElementById("version-label").textContent = text("optionsVersion");
document.getElementById("host").textContent = text("optionsChecking");
const REASONS = {"host-unavailable": "reasonHostUnavailable", "host-exited": "reasonHostExited",
                 "version-mismatch": "reasonVersionMismatch"};
const port = chrome.runtime.connect({name: "npsigil"});
port.onMessage.addListener((reply) => {
  const s = reply && reply.ok ? reply.value : {};
  const shown = s.host ? text("optionsReady")
                       : (REASONS[s.reason] ? text(REASONS[s.reason]) : "") +
                         (s.message ? " (" + s.message + ")" : "");
  document.getElementById("host").textContent = shown;
  document.getElementById("version").textContent = s.version || "";
  port.disconnect();
});
port.postMessage({id: 1, kind: "status"});
