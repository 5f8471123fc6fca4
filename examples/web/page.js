// A web page that uses the tavrinhost HTTP server (default http://127.0.0.1:7777, or the
// page's ?server=URL). The requests stay "simple" CORS requests: a POST whose body is a JSON
// text sent as text/plain, so the browser sends no preflight OPTIONS request, which the
// server does not answer as one. The server's replies carry Access-Control-Allow-Origin: *.
// Passwords: without a "." + id prefix the server uses AES-256-CTR, which cannot tell a wrong
// password, so the page sends ".1" (AES-256-GCM) unless another algorithm is picked; a password
// that already carries a prefix goes out unchanged.
const server = new URLSearchParams(location.search).get("server") || "http://127.0.0.1:7777";
const $ = (id) => document.getElementById(id);
$("server").textContent = server;

const DEFAULT_ALGORITHM = "1";
const PREFIXED = /^\.[1235AC]/; // ids: 1 GCM, 3 CBC, 5 and 2 CTR, C CTR (EVP_BytesToKey), A (refused)

function withPrefix(password, algorithm) {
  return PREFIXED.test(password) ? password : `.${algorithm || DEFAULT_ALGORITHM}${password}`;
}

function bytesToBase64(bytes) {
  let text = "";
  for (let at = 0; at < bytes.length; at += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(at, at + 0x8000));
  return btoa(text);
}

function base64ToBytes(base64) {
  const text = atob(base64);
  return Uint8Array.from(text, (c) => c.charCodeAt(0));
}

// POSTs {"pwd":..., "body":...} with pwd as it stands; resolves to the reply text, rejects with
// the server's reason.
async function call(route, password, body) {
  const reply = await fetch(server + route, {
    method: "POST",
    body: JSON.stringify({ pwd: password, body }), // sent as text/plain: no preflight
  });
  const text = await reply.text();
  if (!reply.ok) throw new Error(`${reply.status} ${reply.statusText}: ${text}`);
  return text;
}

// algorithm applies to a password without prefix; none means AES-256-GCM.
async function encryptText(password, text, algorithm) {
  return call("/encrypt", withPrefix(password, algorithm), bytesToBase64(new TextEncoder().encode(text)));
}

async function decryptText(password, container, algorithm) {
  const plain = await call("/decrypt", withPrefix(password, algorithm), container);
  return new TextDecoder().decode(base64ToBytes(plain));
}

async function showStatus() {
  try {
    const reply = await fetch(server + "/status");
    const status = await reply.json();
    $("status").textContent = `${status.status}, version ${status.version}`;
  } catch (e) {
    $("status").textContent = "unreachable";
  }
}

async function act(work) {
  $("error").textContent = "";
  try {
    await work();
  } catch (e) {
    $("error").textContent = e.message;
  }
}

$("encrypt").onclick = () => act(async () => {
  $("container").textContent = await encryptText($("password").value, $("plaintext").value, $("algorithm").value);
});
$("decrypt").onclick = () => act(async () => {
  const container = $("container").textContent.trim();
  $("plaintext").value = await decryptText($("password").value, container, $("algorithm").value);
});
showStatus();
window.tavrinhost = { encryptText, decryptText, call, withPrefix };
