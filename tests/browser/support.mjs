// Shared set-up of the browser tests: paths, the Chromium launch, a free loopback port.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const buildDir = process.env.TAVRIN_BUILD_DIR || path.join(top, "build/default");
export const launcher = path.join(buildDir, "tavrinhost");
export const extensionDir = path.join(top, "examples/extension");
export const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
// First 32 hex digits of the SHA-256 of the manifest's public key, mapped 0-f to a-p.
export const extensionId = "bbidhjgjegimbmeniibhecfggohgpkdc";

// Flags for a closed network: no background traffic, no first-run work.
const QUIET_FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

export function checkPrerequisites() {
  for (const [what, file] of [["Chromium", chromiumPath], ["the tavrinhost launcher", launcher]])
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

export function installHost(userDataDir) {
  return execFileSync(path.join(top, "scripts/install-host"),
    ["--extension-id", extensionId, "--user-data-dir", userDataDir, "--launcher", launcher],
    { encoding: "utf8" });
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
