// The sample extension drives the real native-messaging host through headless Chromium and
// headless Firefox; a container made in one browser opens in the other.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { checkPasswordOutcomes, extensionId, geckoId, installHost, launcher, openExtension, PASSWORDS, systemHost, tempDir,
  TEXT } from "./support.mjs";

// Per browser: the extension id it must report for the sample, and its reason for a host name
// without a manifest (which the client must pass on).
const BROWSERS = {
  chromium: { expectedId: extensionId, missingHost: /^Specified native messaging host not found\.$/ },
  firefox: { expectedId: geckoId, missingHost: /^No such native application com\.tavrinhost\.absent$/ },
};
const opened = {};

after(async () => {
  for (const extension of Object.values(opened)) await extension.close();
});

for (const [browser, { expectedId, missingHost }] of Object.entries(BROWSERS)) {
  describe(browser, () => {
    let extension;
    before(async () => {
      extension = opened[browser] = await openExtension(browser);
    });

    test("the host manifest names the extension the browser loaded", () => {
      assert.equal(extension.id, expectedId);
      const manifest = JSON.parse(fs.readFileSync(extension.hostManifest, "utf8"));
      assert.equal(manifest.name, "com.tavrinhost.host");
      assert.equal(manifest.type, "stdio");
      assert.equal(manifest.path, path.resolve(launcher));
      for (const [member, list] of Object.entries(extension.allowed)) assert.deepEqual(manifest[member], list);
    });

    test("status probe through the background; a missing host's reason reaches the client", async () => {
      const reply = await extension.run(() => chrome.runtime.sendMessage({ op: "status" }));
      assert.deepEqual(reply, { ok: true, value: { status: "OK", version: "1.0.2" } });
      const reason = await extension.run((t) => t.exchange({ action: 0 }, "", "com.tavrinhost.absent").then(() => "started", (e) => e.message));
      assert.match(reason, missingHost);
    });

    test("the popup's buttons encrypt with AES-256-GCM by default and decrypt", async () => {
      const outcome = await extension.run(async (t, text) => {
        const $ = (id) => document.getElementById(id);
        const press = async (button) => {
          $("out").textContent = "";
          $(button).click();
          for (let i = 0; i < 400 && !$("out").textContent; i++) await new Promise((r) => setTimeout(r, 25));
          return $("out").textContent;
        };
        $("password").value = "popup secret";
        $("text").value = text;
        const container = await press("encrypt");
        $("text").value = container;
        return { container, back: await press("decrypt") };
      }, TEXT);
      assert.equal(outcome.back, TEXT);
      assert.equal(Buffer.from(outcome.container, "base64").length, Buffer.byteLength(TEXT) + 8 + 16 + 12 + 16);
    });

    test("a 1 MiB payload encrypts and decrypts back through several data frames", async () => {
      const outcome = await extension.run(async (t) => {
        const size = 1 << 20;
        const plain = new Uint8Array(size);
        for (let i = 0; i < size; i += 65536) crypto.getRandomValues(plain.subarray(i, i + 65536));
        const digest = async (b) => Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", b))).join(",");
        const data = t.bytesToBase64(plain);
        const pwd = t.withPrefix("browser secret");
        const encrypted = await t.exchange({ action: 1, raw: 1, length: data.length, pwd }, data);
        const back = await t.decryptToBytes("browser secret", encrypted.data);
        const container = t.base64ToBytes(encrypted.data);
        return {
          frames: encrypted.frames,
          header: new TextDecoder().decode(container.subarray(0, 8)),
          containerSize: container.length,
          same: back.length === size && (await digest(back)) === (await digest(plain)),
        };
      });
      assert.equal(outcome.header, "Salted__");
      assert.ok(outcome.frames > 1, `expected several data frames, got ${outcome.frames}`);
      assert.equal(outcome.containerSize, (1 << 20) + 8 + 16 + 12 + 16, "a GCM container");
      assert.ok(outcome.same, "decrypted bytes differ from the original");
    });

    test("the popup's passwords: .1 unless another algorithm is picked, prefixes kept, wrong ones refused", async () => {
      const outcomes = await extension.run(async (t, { text, rows }) => {
        const ask = (message) => chrome.runtime.sendMessage(message);
        const results = [];
        for (const { typed, algorithm, sent } of rows) {
          const made = await ask({ op: "encrypt", password: typed, algorithm, text });
          if (!made.ok) throw new Error(`encrypt with ${typed}: ${made.error}`);
          const asSent = await t.exchange({ action: 2, raw: 0, length: made.value.length, pwd: sent }, made.value)
            .then((r) => new TextDecoder().decode(t.base64ToBytes(r.data)), (e) => `refused: ${e.message}`);
          const back = await ask({ op: "decrypt", password: typed, algorithm, container: made.value });
          const wrong = await ask({ op: "decrypt", password: typed + "!", algorithm, container: made.value });
          results.push({ asSent, back: back.value, wrong: wrong.ok ? null : wrong.error });
        }
        return results;
      }, { text: TEXT, rows: PASSWORDS });
      checkPasswordOutcomes(outcomes, /./);
    });
  });
}

test("a container made in one browser opens in the other through the same host", async () => {
  assert.ok(opened.chromium && opened.firefox, "both browsers must have started");
  // Characters each browser must escape (or not) the same way: the host keys on the JSON text.
  const password = 'Grüße/<tavrin> "q" \\ \u0001\t 😀';
  for (const [from, to] of [["chromium", "firefox"], ["firefox", "chromium"]]) {
    const container = await opened[from].run((t, a) => t.encryptText(a.password, a.text), { password, text: TEXT });
    const back = await opened[to].run((t, a) => t.decryptText(a.password, a.container), { password, container });
    assert.equal(back, TEXT, `made in ${from}, opened in ${to}`);
  }
});

test("the installer refuses malformed ids and removes the manifests it wrote", { skip: systemHost }, () => {
  const dir = tempDir("tavrin-install-");
  try {
    for (const [args, reason] of [[["--extension-id", "not-an-id"], /malformed extension id/],
                                  [["--firefox-id", "no id"], /malformed Firefox add-on id/]])
      assert.throws(() => installHost([...args, "--user-data-dir", dir], { HOME: dir }), reason);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
  for (const [browser, extension] of Object.entries(opened)) {
    extension.uninstall();
    assert.ok(!fs.existsSync(extension.hostManifest), `${browser}: ${extension.hostManifest} is still there`);
  }
});
