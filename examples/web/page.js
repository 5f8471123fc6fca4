// A web page that uses the tavrinhost HTTP server (default http://127.0.0.1:7777, or the
// page's ?server=URL). The requests stay "simple" CORS requests: a POST whose body is a JSON
// text sent as text/plain, so the browser sends no preflight OPTIONS request, which the
// server does not answer as one. The server's replies carry Access-Control-Allow-Origin: *.
const server = new URLSearchParams(location.search).get("server") || "http://127.0.0.1:7777";
const $ = (id) => document.getElementById(id);
$("server").textContent = server;

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

// POSTs {"pwd":..., "body":...}; resolves to the reply text, rejects with the server's reason.
async function call(route, password, body) {
  const reply = await fetch(server + route, {
    method: "POST",
    body: JSON.stringify({ pwd: password, body }), // sent as text/plain: no preflight
  });
  const text = await reply.text();
  if (!reply.ok) throw new Error(`${reply.status} ${reply.statusText}: ${text}`);
  return text;
}

async function encryptText(password, text) {
  return call("/encrypt", password, bytesToBase64(new TextEncoder().encode(text)));
}

async function decryptText(password, container) {
  return new TextDecoder().decode(base64ToBytes(await call("/decrypt", password, container)));
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
  $("container").textContent = await encryptText($("password").value, $("plaintext").value);
});
$("decrypt").onclick = () => act(async () => {
  $("plaintext").value = await decryptText($("password").value, $("container").textContent.trim());
});
showStatus();
window.tavrinhost = { encryptText, decryptText, call };
