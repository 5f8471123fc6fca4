// Client of the tavrinhost native-messaging host: one port per request, the chunked protocol
// on the way in, data frames on the way out. Runs in Chromium-family browsers (chrome.*) and in
// Firefox (browser.*).
//
// Request:  {"action":A,"raw":R,"length":N,"pwd":P}, then {"p":"..."} chunks carrying N
//           characters in all. A: 0 status, 1 encrypt, 2 decrypt. R (encrypt): 1 when the
//           data is the Base64 text of the bytes to encrypt.
// Replies:  {"status":"OK","version":"1.0.2"}; or {"data":"..."} frames (Base64 text, at most
//           64000 characters each) then {"end":"true"}; or {"error":"..."} (followed by
//           {"end":"true"} for failures of the action itself).
// Passwords: the host takes the algorithm from a "." + id prefix and, without one, uses
// AES-256-CTR, which cannot tell a wrong password. The text and byte functions below therefore
// send ".1" (AES-256-GCM, which refuses a wrong password) unless the caller picks another id;
// a password that already carries a prefix goes out unchanged.

export const HOST_NAME = "com.tavrinhost.host";
const CHUNK_CHARACTERS = 64000;
const api = globalThis.browser ?? globalThis.chrome;

// Algorithm ids: "1" AES-256-GCM, "3" AES-256-CBC, "5" and "2" AES-256-CTR (PBKDF2 with 2048 or
// 1024 iterations), "C" AES-256-CTR with EVP_BytesToKey, "A" OpenSSL enc (refused in FIPS mode).
export const DEFAULT_ALGORITHM = "1";
const PREFIXED = /^\.[1235AC]/;

// The password as the host must see it: unchanged when it starts with a prefix, else behind
// "." + algorithm (DEFAULT_ALGORITHM when none is given).
export function withPrefix(password, algorithm) {
  return PREFIXED.test(password) ? password : `.${algorithm || DEFAULT_ALGORITHM}${password}`;
}

// Sends the first message and data in chunks to a new host process (host names its manifest);
// resolves to the status reply or to {data, frames}, rejects with the host's or the browser's
// reason.
function exchange(first, data, host = HOST_NAME) {
  return new Promise((resolve, reject) => {
    const port = api.runtime.connectNative(host);
    const pieces = [];
    let error = null;
    let done = false;
    const finish = (outcome) => {
      if (done) return;
      done = true;
      port.disconnect();
      if (error !== null) reject(new Error(error));
      else outcome();
    };
    port.onMessage.addListener((message) => {
      if (typeof message.status === "string") finish(() => resolve(message));
      else if (typeof message.data === "string") pieces.push(message.data);
      else if (typeof message.error === "string") error = message.error;
      else if (message.end === "true") finish(() => resolve({ data: pieces.join(""), frames: pieces.length }));
    });
    // Firefox gives the reason as the port's error, Chromium as runtime.lastError.
    port.onDisconnect.addListener((closed) => {
      const reason = closed.error?.message ?? api.runtime.lastError?.message ?? "host closed";
      if (error === null && !done) error = reason;
      finish(() => {});
    });
    port.postMessage(first);
    for (let at = 0; at < data.length; at += CHUNK_CHARACTERS)
      port.postMessage({ p: data.slice(at, at + CHUNK_CHARACTERS) });
  });
}

export function bytesToBase64(bytes) {
  let text = "";
  for (let at = 0; at < bytes.length; at += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(at, at + 0x8000));
  return btoa(text);
}

export function base64ToBytes(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}

// {status: "OK", version: "1.0.2"}
export function status() {
  return exchange({ action: 0 }, "");
}

// Encrypts bytes; resolves to the Base64 text of the "Salted__" container. algorithm applies to
// a password without prefix (see withPrefix).
export async function encryptBytes(password, bytes, algorithm) {
  const data = bytesToBase64(bytes);
  const pwd = withPrefix(password, algorithm);
  const reply = await exchange({ action: 1, raw: 1, length: data.length, pwd }, data);
  return reply.data;
}

// Decrypts the Base64 text of a container; resolves to the plaintext bytes.
export async function decryptToBytes(password, containerBase64, algorithm) {
  const pwd = withPrefix(password, algorithm);
  const reply = await exchange({ action: 2, raw: 0, length: containerBase64.length, pwd }, containerBase64);
  return base64ToBytes(reply.data);
}

export async function encryptText(password, text, algorithm) {
  return encryptBytes(password, new TextEncoder().encode(text), algorithm);
}

export async function decryptText(password, containerBase64, algorithm) {
  return new TextDecoder().decode(await decryptToBytes(password, containerBase64, algorithm));
}

export { exchange };
