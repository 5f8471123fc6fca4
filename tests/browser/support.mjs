// Shared set-up of the browser tests: paths, the Chromium and Firefox launches, the sample
// extension opened in either browser, a free loopback port, the password cases of the examples.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { randomUUID } from "node:crypto";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";
import WebSocket from "ws";

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const buildDir = process.env.TAVRIN_BUILD_DIR || path.join(top, "build/default");
// TAVRIN_SYSTEM_HOST=1: the installed package registers the host system-wide, so the tests
// write no per-user manifest and each browser finds the packaged host through the system's.
export const systemHost = process.env.TAVRIN_SYSTEM_HOST === "1";
const SYSTEM_MANIFESTS = {
  chromium: "/etc/chromium/native-messaging-hosts/com.tavrinhost.host.json",
  firefox: "/usr/lib/mozilla/native-messaging-hosts/com.tavrinhost.host.json",
};
export const launcher = systemHost ? "/usr/lib/tavrinhost/tavrinhost" : path.join(buildDir, "tavrinhost");
export const extensionDir = path.join(top, "examples/extension");
export const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
export const firefoxPath = process.env.FIREFOX || "/usr/bin/firefox-esr";
// First 32 hex digits of the SHA-256 of the manifest's public key, mapped 0-f to a-p.
export const extensionId = "bbidhjgjegimbmeniibhecfggohgpkdc";
export const geckoId = JSON.parse(fs.readFileSync(path.join(extensionDir, "manifest.json"), "utf8"))
  .browser_specific_settings.gecko.id;
const HOST_MANIFEST = "com.tavrinhost.host.json";

export const TEXT = "Grüße, tavrinhost";
// The examples' passwords: as typed, the algorithm picked, the password the host or server must
// be given (".1" unless another algorithm is picked; a typed prefix is kept), and whether that
// algorithm refuses a wrong password.
export const PASSWORDS = [
  { typed: "correct horse", algorithm: undefined, sent: ".1correct horse", refusesWrong: true },
  { typed: "correct horse", algorithm: "3", sent: ".3correct horse", refusesWrong: true },
  { typed: ".1correct horse", algorithm: "3", sent: ".1correct horse", refusesWrong: true },
  { typed: ".5correct horse", algorithm: undefined, sent: ".5correct horse", refusesWrong: false },
  { typed: ".hello", algorithm: undefined, sent: ".1.hello", refusesWrong: true },
];

// Checks one outcome per PASSWORDS row, made by encrypting TEXT with the typed password:
// asSent is the text decrypted with the row's sent password as it stands, back the text the
// example decrypted itself, wrong the reason it refused typed + "!" (null when it did not).
export function checkPasswordOutcomes(outcomes, refusal) {
  PASSWORDS.forEach((row, i) => {
    const { asSent, back, wrong } = outcomes[i];
    const which = `typed ${JSON.stringify(row.typed)}, algorithm ${row.algorithm}`;
    assert.equal(asSent, TEXT, `${which}: the container does not open with ${row.sent}`);
    assert.equal(back, TEXT, `${which}: round trip`);
    if (row.refusesWrong) assert.match(String(wrong), refusal, `${which}: refusal of a wrong password`);
  });
}

// Flags for a closed network: no background traffic, no first-run work.
const QUIET_FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

export function checkPrerequisites(browser = ["Chromium", chromiumPath]) {
  for (const [what, file] of [browser, ["the tavrinhost launcher", launcher]])
    if (!fs.existsSync(file)) throw new Error(`${what} is missing at ${file}: run scripts/bootstrap --browser and build first`);
}

// Chromium with a fresh profile folder; extensionPath loads that unpacked extension.
export async function launch(userDataDir, extensionPath) {
  checkPrerequisites();
  const args = [...QUIET_FLAGS];
  if (extensionPath) args.push(`--disable-extensions-except=${extensionPath}`, `--load-extension=${extensionPath}`);
  try {
    return await chromium.launchPersistentContext(userDataDir, { executablePath: chromiumPath, headless: true, args });
  } catch (e) {
    throw new Error(`Chromium could not start: ${e.message}`);
  }
}

// Runs scripts/install-host with these arguments; env adds to (or overrides) the environment.
export function installHost(args, env = {}) {
  return execFileSync(path.join(top, "scripts/install-host"), args,
    { encoding: "utf8", stdio: "pipe", env: { ...process.env, ...env } });
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
    server.on("error", reject);
  });
}

// Firefox stays off the network: with these variables it refuses every connection beyond this
// machine and takes its remote-settings server from the profile; the preferences switch off
// the services that would try (telemetry, updates, safe browsing, connectivity checks).
const FIREFOX_ENV = { MOZ_DISABLE_NONLOCAL_CONNECTIONS: "1", MOZ_REMOTE_SETTINGS_DEVTOOLS: "1" };
const FIREFOX_PREFS = {
  "app.normandy.enabled": false, "app.update.disabledForTesting": true, "app.update.auto": false,
  "browser.safebrowsing.malware.enabled": false, "browser.safebrowsing.phishing.enabled": false,
  "browser.safebrowsing.downloads.enabled": false, "browser.safebrowsing.blockedURIs.enabled": false,
  "browser.region.network.url": "", "browser.search.update": false, "browser.ml.enable": false,
  "browser.shell.checkDefaultBrowser": false, "browser.startup.homepage_override.mstone": "ignore",
  "datareporting.healthreport.uploadEnabled": false, "datareporting.policy.dataSubmissionEnabled": false,
  "toolkit.telemetry.enabled": false, "toolkit.telemetry.server": "", "dom.push.connection.enabled": false,
  "network.captive-portal-service.enabled": false, "network.connectivity-service.enabled": false,
  "network.dns.disablePrefetch": true, "network.prefetch-next": false, "geo.provider.network.url": "",
  "extensions.update.enabled": false, "extensions.getAddons.cache.enabled": false,
  "extensions.blocklist.enabled": false, "services.settings.server": "data:,#remote-settings-dummy/v1",
};
const COMMAND_TIMEOUT_MS = 60000;
const START_TIMEOUT_MS = 30000;

// A WebDriver BiDi connection: send(method, params) resolves to the command's result, or rejects
// with the browser's error, on a closed connection, or after COMMAND_TIMEOUT_MS.
async function connectBidi(url) {
  const socket = new WebSocket(url);
  await new Promise((resolve, reject) => { socket.once("open", resolve); socket.once("error", reject); });
  const pending = new Map();
  let last = 0;
  socket.on("message", (text) => {
    const message = JSON.parse(text);
    const waiter = pending.get(message.id);
    if (!waiter) return; // an event
    pending.delete(message.id);
    clearTimeout(waiter.timer);
    if (message.type === "error") waiter.reject(new Error(`${message.error}: ${message.message}`));
    else waiter.resolve(message.result);
  });
  socket.on("close", () => {
    for (const waiter of pending.values()) waiter.reject(new Error("the BiDi connection closed"));
    pending.clear();
  });
  const send = (method, params = {}) => new Promise((resolve, reject) => {
    const id = ++last;
    const timer = setTimeout(() => { pending.delete(id); reject(new Error(`no answer to ${method}`)); }, COMMAND_TIMEOUT_MS);
    pending.set(id, { resolve, reject, timer });
    socket.send(JSON.stringify({ id, method, params }), (e) => e && reject(e));
  });
  return { send, close: () => socket.close() };
}

// Resolves to the address Firefox prints ("WebDriver BiDi listening on ws://..."); rejects with
// the end of its error output when it exits or stays silent for START_TIMEOUT_MS.
function bidiAddress(firefox, output) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no BiDi address within ${START_TIMEOUT_MS} ms: ${output.text}`)), START_TIMEOUT_MS);
    firefox.stderr.on("data", () => {
      const found = /WebDriver BiDi listening on (ws:\/\/\S+)/.exec(output.text);
      if (found) { clearTimeout(timer); resolve(found[1]); }
    });
    firefox.on("error", (e) => { clearTimeout(timer); reject(e); });
    firefox.on("exit", (code, signal) => { clearTimeout(timer); reject(new Error(`exited (${signal || code}): ${output.text}`)); });
  });
}

// An expression for an extension page: imports the client module from moduleUrl, calls fn with
// it and arg, and gives the JSON text of the result (the same in every browser's protocol).
const pageCall = (moduleUrl, fn, arg) =>
  `(async () => JSON.stringify((await (${fn})(await import(${JSON.stringify(moduleUrl)}), ${JSON.stringify(arg ?? null)})) ?? null))()`;

async function openInChromium() {
  const dir = tempDir("tavrin-chromium-");
  if (!systemHost) installHost(["--extension-id", extensionId, "--user-data-dir", dir, "--launcher", launcher]);
  let context, host, origin, page;
  const close = async () => {
    if (context) await context.close();
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    context = await launch(dir, extensionDir);
    const worker = context.serviceWorkers()[0] || (await context.waitForEvent("serviceworker", { timeout: START_TIMEOUT_MS }));
    const url = new URL(worker.url());
    [host, origin] = [url.host, `${url.protocol}//${url.host}`];
    page = await context.newPage();
    await page.goto(`${origin}/popup.html`);
  } catch (e) {
    await close();
    throw e.message.startsWith("Chromium") ? e : new Error(`the extension did not open in Chromium: ${e.message}`);
  }
  return {
    id: host,
    allowed: { allowed_origins: [`${origin}/`] },
    hostManifest: systemHost ? SYSTEM_MANIFESTS.chromium : path.join(dir, "NativeMessagingHosts", HOST_MANIFEST),
    run: async (fn, arg) => JSON.parse(await page.evaluate(pageCall(`${origin}/tavrinhost.js`, fn, arg))),
    uninstall: () => installHost(["--uninstall", "--user-data-dir", dir]),
    close,
  };
}

async function openInFirefox() {
  checkPrerequisites(["Firefox", firefoxPath]);
  const home = tempDir("tavrin-firefox-");
  // The installer writes below HOME; the Chromium folders it clears on --uninstall stay inside too.
  const env = { HOME: home, XDG_CONFIG_HOME: path.join(home, ".config") };
  // The profile sits where Firefox keeps its own, so the installer finds Firefox configured.
  const profile = path.join(home, ".mozilla/firefox/tavrin");
  fs.mkdirSync(profile, { recursive: true });
  if (!systemHost) installHost(["--firefox-id", geckoId, "--launcher", launcher], env);
  const uuid = randomUUID();
  const prefs = { ...FIREFOX_PREFS, "extensions.webextensions.uuids": JSON.stringify({ [geckoId]: uuid }) };
  fs.writeFileSync(path.join(profile, "user.js"),
    Object.entries(prefs).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`).join(""));
  const firefox = spawn(firefoxPath,
    ["--headless", "--no-remote", "--profile", profile, "--remote-debugging-port", "0", "--remote-allow-system-access"],
    { env: { ...process.env, ...env, ...FIREFOX_ENV }, stdio: ["ignore", "ignore", "pipe"] });
  const output = { text: "" }; // the last 4 KiB of Firefox's error output
  firefox.stderr.on("data", (d) => { output.text = (output.text + d).slice(-4096); });
  const exited = new Promise((resolve) => firefox.on("exit", resolve));
  const origin = `moz-extension://${uuid}`;
  let bidi, id, context;
  try {
    bidi = await connectBidi(`${await bidiAddress(firefox, output)}/session`);
    await bidi.send("session.new", { capabilities: {} });
    ({ extension: id } = await bidi.send("webExtension.install", { extensionData: { type: "path", path: extensionDir } }));
    ({ context } = await bidi.send("browsingContext.create", { type: "tab" }));
    await bidi.send("browsingContext.navigate", { context, url: `${origin}/popup.html`, wait: "complete" });
    // The background script starts with the add-on: wait until it takes messages.
    const probe = { expression: "chrome.runtime.sendMessage({}).then(() => true, () => false)", target: { context }, awaitPromise: true };
    const deadline = Date.now() + START_TIMEOUT_MS;
    while (!(await bidi.send("script.evaluate", probe)).result?.value) {
      if (Date.now() > deadline) throw new Error("the background script does not answer");
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  } catch (e) {
    firefox.kill("SIGKILL");
    fs.rmSync(home, { recursive: true, force: true });
    throw new Error(`Firefox could not start: ${e.message}`);
  }
  return {
    id,
    allowed: { allowed_extensions: [id] },
    hostManifest: systemHost ? SYSTEM_MANIFESTS.firefox : path.join(home, ".mozilla/native-messaging-hosts", HOST_MANIFEST),
    run: async (fn, arg) => {
      const reply = await bidi.send("script.evaluate",
        { expression: pageCall(`${origin}/tavrinhost.js`, fn, arg), target: { context }, awaitPromise: true });
      if (reply.type === "exception") throw new Error(reply.exceptionDetails.text);
      return JSON.parse(reply.result.value);
    },
    uninstall: () => installHost(["--uninstall"], env),
    close: async () => {
      await bidi.send("browser.close").catch(() => {});
      bidi.close();
      const timer = setTimeout(() => firefox.kill("SIGKILL"), 10000);
      await exited;
      clearTimeout(timer);
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// The sample extension in a fresh profile of browser ("chromium" or "firefox"), with the host
// manifest installed for it. run(fn, arg) calls fn(client module, arg) in an extension page and
// resolves to a JSON copy of its result; id is the extension id the browser reports, allowed the
// member the host manifest must hold for it; uninstall() runs the installer's --uninstall.
export function openExtension(browser) {
  return { chromium: openInChromium, firefox: openInFirefox }[browser]();
}
