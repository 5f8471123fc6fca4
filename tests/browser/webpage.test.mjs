// A web page served from loopback uses the HTTP server with fetch, as a real page would.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, test } from "node:test";
import { checkPasswordOutcomes, freePort, launch, launcher, PASSWORDS, tempDir, TEXT, top } from "./support.mjs";

let server;       // the tavrinhost server process
let pages;        // the static server of examples/web
let context;
let page;
let userDataDir;
let serverUrl;
const requests = [];

async function waitForStatus(url, deadline) {
  while (Date.now() < deadline) {
    try {
      const reply = await fetch(url + "/status");
      if (reply.ok) return;
    } catch {}
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`the tavrinhost server did not answer at ${url}`);
}

before(async () => {
  const port = await freePort();
  serverUrl = `http://127.0.0.1:${port}`;
  server = spawn(launcher, ["-s", "server", "-p", String(port)], { stdio: ["ignore", "pipe", "pipe"] });
  server.stdout.resume();
  server.stderr.resume();
  await waitForStatus(serverUrl, Date.now() + 15000);

  const root = path.join(top, "examples/web");
  pages = http.createServer((req, res) => {
    const name = path.basename(new URL(req.url, "http://x").pathname) || "index.html";
    const file = path.join(root, name);
    if (!fs.existsSync(file)) { res.writeHead(404).end(); return; }
    res.writeHead(200, { "Content-Type": name.endsWith(".js") ? "text/javascript" : "text/html" });
    res.end(fs.readFileSync(file));
  });
  await new Promise((r) => pages.listen(0, "127.0.0.1", r));

  userDataDir = tempDir("tavrin-page-");
  context = await launch(userDataDir);
  page = await context.newPage();
  page.on("request", (r) => { if (r.url().startsWith(serverUrl)) requests.push({ method: r.method(), url: r.url(), type: r.headers()["content-type"] }); });
  await page.goto(`http://127.0.0.1:${pages.address().port}/index.html?server=${encodeURIComponent(serverUrl)}`);
});

after(async () => {
  if (context) await context.close();
  if (pages) pages.close();
  if (server) server.kill("SIGTERM");
  if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
});

test("the page shows the server status", async () => {
  await page.waitForFunction(() => document.getElementById("status").textContent.includes("1.0.2"));
});

test("encrypt and decrypt with the page's buttons", async () => {
  await page.fill("#password", "page secret");
  await page.fill("#plaintext", "Hello from a web page — ünïcödé");
  await page.click("#encrypt");
  await page.waitForFunction(() => document.getElementById("container").textContent.length > 0);
  const container = Buffer.from(await page.textContent("#container"), "base64");
  assert.equal(container.subarray(0, 8).toString(), "Salted__");
  const plainSize = Buffer.byteLength("Hello from a web page — ünïcödé");
  assert.equal(container.length, plainSize + 8 + 16 + 12 + 16, "a password without prefix gives a GCM container");
  await page.fill("#plaintext", "");
  await page.click("#decrypt");
  await page.waitForFunction(() => document.getElementById("plaintext").value.length > 0);
  assert.equal(await page.inputValue("#plaintext"), "Hello from a web page — ünïcödé");
});

test("the page's requests are simple CORS requests: no preflight", () => {
  const posts = requests.filter((r) => r.method === "POST");
  assert.ok(posts.length >= 2);
  for (const r of posts) assert.match(r.type, /^text\/plain/);
  assert.equal(requests.filter((r) => r.method === "OPTIONS").length, 0);
});

// The content type makes the browser ask first (OPTIONS); only a preflight that allows the
// origin, the method and the header lets the request itself go out.
test("a JSON request from another origin passes its preflight", async () => {
  const outcome = await page.evaluate(async (url) => {
    const reply = await fetch(url + "/encrypt", { method: "POST", headers: { "Content-Type": "application/json" },
                                                  body: JSON.stringify({ pwd: ".1x", body: "aGk=" }) });
    return { status: reply.status, body: await reply.text() };
  }, serverUrl);
  assert.equal(outcome.status, 200);
  assert.equal(Buffer.from(outcome.body, "base64").subarray(0, 8).toString(), "Salted__");
});

test("the page's passwords: .1 unless another algorithm is picked, prefixes kept, wrong ones refused with the reason", async () => {
  const outcomes = await page.evaluate(async ({ text, rows }) => {
    const t = window.tavrinhost;
    const decode = (base64) => new TextDecoder().decode(Uint8Array.from(atob(base64), (c) => c.charCodeAt(0)));
    const results = [];
    for (const { typed, algorithm, sent } of rows) {
      const container = await t.encryptText(typed, text, algorithm);
      const asSent = await t.call("/decrypt", sent, container).then(decode, (e) => `refused: ${e.message}`);
      const back = await t.decryptText(typed, container, algorithm);
      const wrong = await t.decryptText(typed + "!", container, algorithm).then(() => null, (e) => e.message);
      results.push({ asSent, back, wrong });
    }
    return results;
  }, { text: TEXT, rows: PASSWORDS });
  checkPasswordOutcomes(outcomes, /^500 .*Decryption failed: /s);
});
