// Service worker of the sample extension: exposes the host client to the extension's pages
// (and to tests, through the worker's global tavrinhost).
import * as tavrinhost from "./tavrinhost.js";

self.tavrinhost = tavrinhost;

chrome.runtime.onMessage.addListener((request, sender, reply) => {
  const run = {
    status: () => tavrinhost.status(),
    encrypt: () => tavrinhost.encryptText(request.password, request.text),
    decrypt: () => tavrinhost.decryptText(request.password, request.container),
  }[request.op];
  if (!run) return false;
  run().then((value) => reply({ ok: true, value }), (e) => reply({ ok: false, error: e.message }));
  return true;
});
