// Popup of the sample extension: asks the background to talk to the host.
const $ = (id) => document.getElementById(id);
const api = globalThis.browser ?? globalThis.chrome;
const ask = (message) => api.runtime.sendMessage(message);
const secret = () => ({ password: $("password").value, algorithm: $("algorithm").value });
const show = (reply) => { $("out").textContent = reply.ok ? String(reply.value) : "Error: " + reply.error; };

$("status").onclick = async () => {
  const reply = await ask({ op: "status" });
  $("state").textContent = reply.ok ? `${reply.value.status} ${reply.value.version}` : reply.error;
};
$("encrypt").onclick = async () =>
  show(await ask({ op: "encrypt", ...secret(), text: $("text").value }));
$("decrypt").onclick = async () =>
  show(await ask({ op: "decrypt", ...secret(), container: $("text").value.trim() }));
