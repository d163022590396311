// window.npSigil for web pages. Runs in the page's own world before any of
// the page's scripts, so the object and the references it closes over are
// the originals even if the page later replaces globals.
(() => {
  "use strict";
  if (Object.prototype.hasOwnProperty.call(window, "npSigil")) return;

  const TAG = "npsigil-8c1f3e:v1";
  const METHODS = [
    "SelectCertificate", "GetSignCertInfo", "SignMsgPKCS1", "SignMsgPKCS7",
    "SignMsgPKCS1_BySoftCert", "SignMsgPKCS7_BySoftCert", "VerifyMsgSignaturePKCS1",
    "VerifyMsgSignaturePKCS7Attached", "VerifyMsgSignaturePKCS7Detached", "SignFilePKCS1",
    "SignFilePKCS7Detached", "SignFilePKCS1_BySoftCert", "SignFilePKCS7Detached_BySoftCert",
    "VerifyFileSignaturePKCS1", "VerifyFileSignaturePKCS7Detached", "SelectEncryptCertificate",
    "GetEncryptCertInfo", "EncryptMsgCMSEnvelopeEx", "EncryptMsgCMSEnvelopeEx_ByCert",
    "DecryptMsgCMSEnvelopeEx", "DecryptMsgCMSEnvelopeEx_BySoftCert", "EncryptFileCMSEnvelopeEx",
    "EncryptFileCMSEnvelopeEx_ByCert", "DecryptFileCMSEnvelopeEx",
    "DecryptFileCMSEnvelopeEx_BySoftCert", "GetVersion", "GetLastErrorDesc",
  ];
  const MAX_REQUEST = 32 * 1024 * 1024;
  const CODES = {
    "not-secure": 0x80070005, "origin-refused": 0x80070005, "consent-denied": 0x80070005,
    "too-large": 0x8007000e, "arguments": 0x80070057, "protocol": 0x80070057,
    "busy": 0x800700aa, "cancelled": 0x800704c7,
    "extension-unavailable": 0x80004005, "host-unavailable": 0x80004005,
    "host-exited": 0x80004005, "version-mismatch": 0x80004005,
  };

  const post = window.postMessage.bind(window);
  const addListener = window.addEventListener.bind(window);
  const stringify = JSON.stringify;
  const parse = JSON.parse;
  const encoder = new TextEncoder();
  const PromiseCtor = Promise;
  const pending = new Map();
  let nextId = 1;

  function toHex(code) {
    return "0x" + (code >>> 0).toString(16).padStart(8, "0");
  }

  class NpSigilError extends Error {
    constructor(message, fields) {
      super(message);
      const f = fields || {};
      const code = typeof f.code === "number" ? f.code >>> 0 : (CODES[f.reason] || 0x80004005);
      Object.defineProperties(this, {
        name: {value: "NpSigilError", enumerable: true},
        code: {value: code, enumerable: true},
        hex: {value: toHex(code), enumerable: true},
        method: {value: typeof f.method === "string" ? f.method : "", enumerable: true},
        reason: {value: typeof f.reason === "string" ? f.reason : "failed", enumerable: true},
      });
    }
  }
  Object.freeze(NpSigilError.prototype);
  Object.freeze(NpSigilError);

  // https, and http on the loopback names, are secure contexts; file: pages
  // are reported as such by some browsers but have no origin to consent to.
  const secure = window.isSecureContext === true && location.protocol !== "file:";
  const NOT_SECURE_TEXT = "npSigil works only on https pages and on http pages of this computer " +
                          "(localhost, 127.0.0.1, [::1]).";

  function fail(method, reason, message, code) {
    return new NpSigilError(message, {method, reason, code});
  }

  function request(method, args) {
    return new PromiseCtor((resolve, reject) => {
      if (!secure) {
        reject(fail(method, "not-secure", NOT_SECURE_TEXT));
        return;
      }
      let payload;
      try {
        // Only JSON values travel; anything else is the host's to refuse.
        payload = parse(stringify(args === undefined ? [] : args));
      } catch (e) {
        reject(fail(method, "arguments", method + ": arguments must be strings, numbers or booleans"));
        return;
      }
      let size = 0;
      for (const a of payload) {
        size += typeof a === "string" ? (a.length > MAX_REQUEST ? a.length
                                         : encoder.encode(a).length) : 8;
        if (size > MAX_REQUEST) break;
      }
      if (size > MAX_REQUEST) {
        reject(fail(method, "too-large", method + ": the arguments exceed 32 MiB"));
        return;
      }
      const id = nextId++;
      pending.set(id, {resolve, reject, method});
      post({channel: TAG, dir: "to-relay", id, method, args: payload}, "*");
    });
  }

  addListener("message", (event) => {
    if (event.source !== window) return;
    const d = event.data;
    if (!d || typeof d !== "object" || d.channel !== TAG || d.dir !== "to-page") return;
    const entry = pending.get(d.id);
    if (!entry) return;
    pending.delete(d.id);
    if (d.ok) {
      entry.resolve(d.value);
    } else {
      entry.reject(fail(entry.method, d.reason || "failed", String(d.message || ""),
                        typeof d.code === "number" ? d.code : undefined));
    }
  });

  const api = Object.create(null);
  for (const name of METHODS) {
    api[name] = function (...args) { return request(name, args); };
  }
  api.chooseFile = function () { return request("chooseFile", []); };
  api.chooseSaveFile = function () { return request("chooseSaveFile", []); };
  api.status = function () {
    if (!secure) {
      return PromiseCtor.resolve(Object.freeze({extension: true, host: false, reason: "not-secure",
                                                message: NOT_SECURE_TEXT}));
    }
    return request("status", []).then((s) => Object.freeze(s), (e) =>
      Object.freeze({extension: true, host: false, reason: e.reason, message: e.message}));
  };
  for (const name of Object.keys(api)) Object.freeze(api[name]);
  Object.freeze(api);

  Object.defineProperty(window, "npSigil", {value: api, writable: false, configurable: false,
                                            enumerable: false});
  Object.defineProperty(window, "NpSigilError", {value: NpSigilError, writable: false,
                                                 configurable: false, enumerable: false});
  window.dispatchEvent(new Event("npsigil:ready"));
})();
