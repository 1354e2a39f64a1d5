// The operator's panel: log in at the line, set the status, see the ringing caller with their CRM contact,
// answer, hold, transfer and hang up.
"use strict";

let me = null;
let myLine = null;
let state = null;
let message = "";

async function act(path, body) {
  try {
    await api("POST", "/api/lines/" + myLine + path, body || {});
    message = "";
  } catch (error) {
    message = error.message;
  }
  draw();
}

function draw() {
  const panel = document.getElementById("panel");
  if (!state || !myLine) return;
  const line = state.lines.find((candidate) => candidate.number === myLine);
  const person = line && line.operator !== null ? state.operators.find((candidate) => candidate.id === line.operator) : null;
  const now = Date.now();
  const parts = [el("h2", {}, "Line " + myLine + (line ? " · " + line.name : ""))];
  if (!person) {
    const id = el("input", { id: "operator-id", placeholder: "operator ID", size: 10 });
    parts.push(el("div", { class: "actions" },
      me.role === "supervisor" ? id : null,
      el("button", { id: "login", onclick: () => act("/login", me.role === "supervisor" ? { operatorID: Number(id.value) } : {}) }, "Log in at this line")));
  } else {
    const reason = el("input", { id: "pause-reason", placeholder: "pause reason", size: 6 });
    parts.push(el("p", {}, "Operator " + person.id + " · ", el("span", { id: "status", class: "state-" + person.status }, person.status),
      " for " + minutesSeconds(now - person.statusSince) + " · calls " + person.calls));
    parts.push(el("div", { class: "actions" },
      el("button", { id: "ready", onclick: () => act("/status", { status: "ready" }) }, "Ready"),
      el("button", { id: "busy", onclick: () => act("/status", { status: "busy" }) }, "Busy"),
      reason,
      el("button", { id: "pause", onclick: () => act("/status", { status: "pause", reason: Number(reason.value) || 0 }) }, "Pause"),
      el("button", { id: "logout", onclick: () => act("/logout") }, "Log out")));
  }
  for (const call of line ? line.calls : []) {
    const target = el("input", { class: "target", placeholder: "number", size: 8 });
    const path = "/calls/" + call.id;
    parts.push(el("div", { class: "panel", "data-call": call.id },
      el("div", { class: "contact" }, call.contact || call.originalCaller || call.remote || "unknown caller"),
      el("div", {}, call.company ? call.company : ""),
      el("div", {}, call.state + " · " + (call.direction === "in" ? "from " : "to ") + (call.originalCaller || call.remote) + " · " + minutesSeconds(now - call.since)),
      el("div", { class: "actions" },
        el("button", { class: "answer", onclick: () => act(path + "/answer") }, "Answer"),
        el("button", { class: "hold", onclick: () => act(path + "/hold") }, "Hold"),
        el("button", { class: "unhold", onclick: () => act(path + "/unhold") }, "Unhold"),
        el("button", { class: "hangup", onclick: () => act(path + "/hangup") }, "Hang up")),
      el("div", { class: "actions" }, target,
        el("button", { class: "transfer", onclick: () => act(path + "/transfer", { number: target.value }) }, "Transfer"),
        el("button", { class: "consult", onclick: () => act(path + "/consult", { number: target.value }) }, "Consult"),
        el("button", { class: "complete", onclick: () => act(path + "/complete") }, "Complete transfer"))));
  }
  const dial = el("input", { id: "dial-number", placeholder: "number", size: 10 });
  parts.push(el("div", { class: "actions" }, dial, el("button", { id: "dial", onclick: () => act("/dial", { number: dial.value }) }, "Dial")));
  parts.push(el("p", { class: "message", id: "message" }, message));
  // Inputs being typed into are kept: the panel is drawn again only while none has the focus.
  if (document.activeElement && document.activeElement.tagName === "INPUT" && panel.contains(document.activeElement)) return;
  panel.replaceChildren(...parts);
}

async function start() {
  me = await ensureLogin(document.getElementById("panel"));
  myLine = me.line || new URLSearchParams(location.search).get("line");
  document.getElementById("who").textContent = me.user + " (" + me.role + ")";
  if (!myLine) {
    document.getElementById("panel").replaceChildren(el("p", {}, "Open the panel as /panel?line=NUMBER to act at a line."));
    return;
  }
  listen((fresh) => { state = fresh; draw(); }, () => {});
  setInterval(draw, 1000);
}

start();
