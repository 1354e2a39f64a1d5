// Shared by the wallboard and the operator panel: the API, the login form, the live events, the header.
"use strict";

async function api(method, path, body) {
  const options = { method, credentials: "same-origin", headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  const text = await response.text();
  const data = text ? JSON.parse(text) : null;
  if (!response.ok) {
    const error = new Error(data && data.error ? data.error : response.statusText);
    error.status = response.status;
    throw error;
  }
  return data;
}

// An element with text and children; text is never parsed as HTML.
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === "onclick") node.addEventListener("click", value);
    else if (name === "hidden") node.hidden = Boolean(value);
    else node.setAttribute(name, value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

// Sets a node's text only when it changed, so a screen reader and a selection are left alone otherwise.
function setText(node, text) {
  const value = String(text);
  if (node.textContent !== value) node.textContent = value;
}

function minutesSeconds(milliseconds) {
  const seconds = Math.max(0, Math.floor(milliseconds / 1000));
  return Math.floor(seconds / 60) + ":" + String(seconds % 60).padStart(2, "0");
}

// An operator's state as a supervisor says it: "on a call", "paused: Lunch", "wrap-up (0:04 left)".
function activityText(person, now) {
  const activity = person.activity || person.status;
  if (activity === "paused") return "paused" + (person.pauseReasonName ? ": " + person.pauseReasonName : "");
  if (activity === "wrap-up" && person.wrapUpUntil) return "wrap-up (" + minutesSeconds(person.wrapUpUntil - now) + " left)";
  return activity;
}

function operatorName(person) {
  return person.name || "Operator " + person.id;
}

// A call event in words, with the caller where the state knows them.
const eventWords = {
  Offering: "rings", Ring: "rings", NewCall: "new call", Connected: "connected", Disconnected: "hung up", Idle: "ended",
  Hold: "on hold", HoldPendTrans: "held for a transfer", HoldPendConf: "held for a conference", Dialing: "dialling",
  Dialtone: "dial tone", Ringback: "ringing out", Busy: "busy", Proceeding: "proceeding", Accepted: "accepted",
  Conferenced: "in a conference", TransferCall: "transferred", CallFinished: "finished", IncomingCall: "incoming call",
  OutgoingCall: "outgoing call", IncomingCallConnected: "incoming call connected",
  OutgoingCallConnected: "outgoing call connected", OutgoingCallBusy: "outgoing call busy", HoldCall: "held",
  UnholdCall: "taken back", CallerID: "caller known", CalledID: "number known", CallState: "state changed",
  CallInfo: "details changed", CallBegin: "began", CallEnd: "ended", CallDeallocate: "gone",
};

function callerOf(call) {
  if (!call) return "";
  return call.contact || call.originalCaller || call.remote || "";
}

// Asks for a name and password until the gateway accepts them; resolves with the session's user.
async function ensureLogin(container) {
  try {
    return await api("GET", "/api/session");
  } catch (error) {
    // Not logged in yet.
  }
  return new Promise((resolve) => {
    const user = el("input", { id: "login-user", name: "user", autocomplete: "username" });
    const password = el("input", { id: "login-password", name: "password", type: "password", autocomplete: "current-password" });
    const message = el("p", { class: "message", id: "login-message", role: "alert" });
    const form = el("form", { class: "login" }, el("h2", {}, "Log in"),
      el("label", { for: "login-user" }, "User name"), user,
      el("label", { for: "login-password" }, "Password"), password,
      el("button", { type: "submit" }, "Log in"), message);
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      try {
        const who = await api("POST", "/api/session", { user: user.value, password: password.value });
        form.remove();
        resolve(who);
      } catch (error) {
        message.textContent = error.message;
      }
    });
    container.replaceChildren(form);
    user.focus();
  });
}

// The header's own parts: who is logged in and the button to log out of the gateway.
function showUser(me) {
  const who = document.getElementById("who");
  setText(who, me.user + " (" + me.role + ")");
  const button = document.getElementById("sign-out");
  button.hidden = false;
  button.onclick = async () => {
    try {
      await api("DELETE", "/api/session");
    } finally {
      location.reload();
    }
  };
}

// "live" only while both the gateway and the server behind it answer.
function showConnection(socketOpen, serverUp) {
  const mark = document.getElementById("connection");
  const live = socketOpen && serverUp;
  setText(mark, live ? "live" : socketOpen ? "server down" : "offline");
  mark.className = live ? "online" : "offline";
  document.body.classList.toggle("stale", !live);
  return live;
}

// Live events: onState(state) with the whole state, onEvents(list) with call events in order, onLink(open)
// when the socket opens or closes. Reconnects; a session that has ended shows the login again.
function listen(onState, onEvents, onLink) {
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/api/events");
  socket.onopen = () => onLink(true);
  socket.onmessage = (message) => {
    const data = JSON.parse(message.data);
    if (data.type === "state") onState(data);
    else if (data.type === "events") onEvents(data.events);
  };
  socket.onclose = async () => {
    onLink(false);
    try {
      await api("GET", "/api/session");
    } catch (error) {
      if (error.status === 401) {
        location.reload();
        return;
      }
    }
    setTimeout(() => listen(onState, onEvents, onLink), 1000);
  };
}
