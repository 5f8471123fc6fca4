// Background of the sample extension: a service worker in Chromium, a module background script
// in Firefox. Runs the popup's requests through the host client, which outlives the popup.
import * as tavrinhost from "./tavrinhost.js";

const api = globalThis.browser ?? globalThis.chrome;

// {op: "status"} | {op: "encrypt", password, text, algorithm} | {op: "decrypt", password,
// container, algorithm}; replies {ok: true, value} or {ok: false, error}. algorithm applies
// to a password without prefix; none means AES-256-GCM.
api.runtime.onMessage.addListener((request, sender, reply) => {
  const run = {
    status: () => tavrinhost.status(),
    encrypt: () => tavrinhost.encryptText(request.password, request.text, request.algorithm),
    decrypt: () => tavrinhost.decryptText(request.password, request.container, request.algorithm),
  }[request.op];
  if (!run) return false;
  run().then((value) => reply({ ok: true, value }), (e) => reply({ ok: false, error: e.message }));
  return true;
});
