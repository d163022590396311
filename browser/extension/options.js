// The extension's own page: the host's version and state, the sites the
// user approved and the folders granted, each with a button to take it
// back. Everything shown is set as text, never as markup: origins and
// folder names come from files the user (or a site, through a grant) named.
"use strict";

const text = (key, ...subs) => chrome.i18n.getMessage(key, subs) || key;
const port = chrome.runtime.connect({name: "npsigil-options"});
const waiting = new Map();
let nextId = 1;

port.onMessage.addListener((msg) => {
  const done = waiting.get(msg && msg.id);
  if (!done) return;
  waiting.delete(msg.id);
  done(msg);
});
port.onDisconnect.addListener(() => {
  for (const done of waiting.values()) done({ok: false, message: text("optionsHostGone")});
  waiting.clear();
});

function ask(action, fields) {
  return new Promise((resolve) => {
    const id = nextId++;
    waiting.set(id, resolve);
    port.postMessage(Object.assign({id, action}, fields || {}));
  });
}

function cell(row, value, className) {
  const td = row.insertCell();
  td.textContent = value;
  if (className) td.className = className;
  return td;
}

function button(row, label, onClick) {
  const td = row.insertCell();
  const b = document.createElement("button");
  b.textContent = label;
  b.addEventListener("click", async () => {
    b.disabled = true;
    await onClick();
    await refresh();
  });
  td.appendChild(b);
  return b;
}

async function refresh() {
  const status = await ask("status");
  const host = document.getElementById("host");
  if (status.ok && status.value && status.value.host) {
    host.textContent = text("optionsHostReady", status.value.version);
    host.className = "state-ok";
  } else {
    host.textContent = text("optionsHostMissing", String((status.value && status.value.message) ||
                                                         status.message || ""));
    host.className = "state-bad";
  }
  const listed = await ask("list");
  const sites = document.querySelector("#sites tbody");
  const grants = document.querySelector("#grants tbody");
  sites.replaceChildren();
  grants.replaceChildren();
  document.getElementById("problem").textContent =
      listed.ok ? (listed.value.problem || "") : String(listed.message || "");
  if (!listed.ok) return;
  for (const site of listed.value.sites) {
    const row = sites.insertRow();
    row.dataset.origin = site.origin;
    cell(row, site.origin, "origin");
    cell(row, [site.keys ? text("optionsKeys") : "", site.files ? text("optionsFiles") : ""]
        .filter(Boolean).join(", "));
    if (site.machine) {
      cell(row, text("optionsByAdministrator"), "muted");
    } else {
      button(row, text("optionsRevoke"), () => ask("revoke", {origin: site.origin}));
    }
  }
  if (!listed.value.sites.length) cell(sites.insertRow(), text("optionsNoSites"), "muted");
  for (const grant of listed.value.grants) {
    const row = grants.insertRow();
    row.dataset.origin = grant.origin;
    row.dataset.folder = grant.folder;
    cell(row, grant.origin, "origin");
    cell(row, grant.folder, "folder");
    button(row, text("optionsUngrant"),
           () => ask("ungrant", {origin: grant.origin, folder: grant.folder}));
  }
  if (!listed.value.grants.length) cell(grants.insertRow(), text("optionsNoGrants"), "muted");
  document.body.dataset.ready = "1";
}

document.title = text("optionsTitle");
document.getElementById("title").textContent = text("optionsTitle");
document.getElementById("sites-title").textContent = text("optionsSites");
document.getElementById("sites-lead").textContent = text("optionsSitesLead");
document.getElementById("grants-title").textContent = text("optionsGrants");
refresh();
