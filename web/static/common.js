// Shared by the wallboard and the operator panel: the API, the login form, the live events.
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
  if (!response.ok) throw new Error(data && data.error ? data.error : response.statusText);
  return data;
}

// An element with text and children; text is never parsed as HTML.
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === "onclick") node.addEventListener("click", value);
    else node.setAttribute(name, value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function minutesSeconds(milliseconds) {
  const seconds = Math.max(0, Math.floor(milliseconds / 1000));
  return Math.floor(seconds / 60) + ":" + String(seconds % 60).padStart(2, "0");
}

// Asks for a name and password until the gateway accepts them; resolves with the session's user.
async function ensureLogin(container) {
  try {
    return await api("GET", "/api/session");
  } catch (error) {
    // Not logged in yet.
  }
  return new Promise((resolve) => {
    const user = el("input", { id: "login-user", autocomplete: "username", placeholder: "user" });
    const password = el("input", { id: "login-password", type: "password", autocomplete: "current-password", placeholder: "password" });
    const message = el("p", { class: "message", id: "login-message" });
    const form = el("form", { class: "login" }, el("h2", {}, "Log in"), user, password, el("button", { type: "submit" }, "Log in"), message);
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

function showConnection(online) {
  const mark = document.getElementById("connection");
  mark.textContent = online ? "live" : "offline";
  mark.className = online ? "online" : "offline";
}

// Live events: onState(state) with the whole state, onEvents(list) with call events in order. Reconnects.
function listen(onState, onEvents) {
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/api/events");
  socket.onopen = () => showConnection(true);
  socket.onmessage = (message) => {
    const data = JSON.parse(message.data);
    if (data.type === "state") onState(data);
    else if (data.type === "events") onEvents(data.events);
  };
  socket.onclose = () => {
    showConnection(false);
    setTimeout(() => listen(onState, onEvents), 1000);
  };
}
