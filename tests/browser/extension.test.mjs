// The sample extension drives the real native-messaging host through headless Chromium.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";
import { extensionDir, extensionId, installHost, launch, tempDir, top } from "./support.mjs";

let context;
let worker;
let userDataDir;

before(async () => {
  userDataDir = tempDir("tavrin-chromium-");
  installHost(userDataDir);
  context = await launch(userDataDir, extensionDir);
  worker = context.serviceWorkers()[0] || (await context.waitForEvent("serviceworker", { timeout: 20000 }));
});

after(async () => {
  if (context) await context.close();
  if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
});

test("the extension id follows from the manifest key", () => {
  assert.equal(new URL(worker.url()).host, extensionId);
});

test("the installer wrote the manifest into the profile folder", () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(userDataDir, "NativeMessagingHosts/com.tavrinhost.host.json"), "utf8"));
  assert.equal(manifest.type, "stdio");
  assert.deepEqual(manifest.allowed_origins, [`chrome-extension://${extensionId}/`]);
  assert.ok(path.isAbsolute(manifest.path));
});

test("status probe through the browser", async () => {
  const status = await worker.evaluate(() => self.tavrinhost.status());
  assert.deepEqual(status, { status: "OK", version: "1.0.2" });
});

test("a 1 MiB payload encrypts and decrypts back through several data frames", async () => {
  const outcome = await worker.evaluate(async () => {
    const t = self.tavrinhost;
    const size = 1 << 20;
    const plain = new Uint8Array(size);
    for (let i = 0; i < size; i += 65536) crypto.getRandomValues(plain.subarray(i, i + 65536));
    const digest = async (b) => Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", b))).join(",");
    const first = t.bytesToBase64(plain);
    const encrypted = await t.exchange({ action: 1, raw: 1, length: first.length, pwd: ".5browser secret" }, first);
    const back = await t.decryptToBytes(".5browser secret", encrypted.data);
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
  assert.ok(outcome.containerSize > 1 << 20);
  assert.ok(outcome.same, "decrypted bytes differ from the original");
});

test("text round trip and a wrong password's reason reach the extension", async () => {
  const outcome = await worker.evaluate(async () => {
    const t = self.tavrinhost;
    const container = await t.encryptText(".1correct horse", "Grüße, tavrinhost");
    const text = await t.decryptText(".1correct horse", container);
    let reason = null;
    try {
      await t.decryptText(".1wrong horse", container);
    } catch (e) {
      reason = e.message;
    }
    return { text, reason };
  });
  assert.equal(outcome.text, "Grüße, tavrinhost");
  assert.ok(outcome.reason && outcome.reason.length > 0, "a wrong password must be reported");
});

test("the installer refuses a malformed id and removes what it wrote", () => {
  assert.throws(() => execFileSync(path.join(top, "scripts/install-host"), ["--extension-id", "not-an-id"], { stdio: "pipe" }),
    /malformed extension id/);
  execFileSync(path.join(top, "scripts/install-host"), ["--uninstall", "--user-data-dir", userDataDir]);
  assert.ok(!fs.existsSync(path.join(userDataDir, "NativeMessagingHosts/com.tavrinhost.host.json")));
});
