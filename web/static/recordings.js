// The recordings page: a search by date, line, operator and caller, and a player for each recording.
"use strict";

function dayText(date) {
  return date.getFullYear() + "-" + String(date.getMonth() + 1).padStart(2, "0") + "-" +
    String(date.getDate()).padStart(2, "0");
}

function play(recording) {
  const player = document.getElementById("player");
  player.hidden = false;
  player.src = recording.audio;
  player.dataset.recording = String(recording.id);
  player.play().catch((error) => {
    document.getElementById("message").textContent = "The recording cannot be played: " + error.message;
  });
}

async function search() {
  const message = document.getElementById("message");
  const parameters = new URLSearchParams();
  for (const name of ["from", "to", "line", "operator", "caller"]) {
    const value = document.getElementById(name).value.trim();
    if (value) parameters.set(name, value);
  }
  history.replaceState(null, "", "/recordings?" + parameters.toString());
  try {
    const answer = await api("GET", "/api/recordings?" + parameters.toString());
    const rows = answer.recordings.map((recording) => el("tr", { "data-recording": String(recording.id) },
      el("td", {}, recording.start),
      el("td", {}, recording.line),
      el("td", {}, recording.operatorID === null ? "" : recording.operatorID),
      el("td", {}, recording.caller),
      el("td", {}, minutesSeconds(recording.seconds * 1000)),
      el("td", {}, minutesSeconds(recording.pausedSeconds * 1000)),
      el("td", {}, el("button", { type: "button", class: "play", onclick: () => play(recording) }, "Play"))));
    const table = document.getElementById("recordings-table");
    table.tBodies[0].replaceChildren(...rows);
    table.hidden = false;
    message.textContent = rows.length === 0 ? "No recordings in this range."
      : answer.truncated ? "Only the latest " + rows.length + " are shown; narrow the search." : "";
  } catch (error) {
    message.textContent = error.message;
  }
}

async function start() {
  let who = null;
  try {
    who = await ensureLogin(document.getElementById("login"));
  } catch (error) {
    document.getElementById("message").textContent = error.message;
    return;
  }
  const asked = new URLSearchParams(location.search);
  const weekAgo = new Date();
  weekAgo.setDate(weekAgo.getDate() - 6);
  document.getElementById("from").value = asked.get("from") || dayText(weekAgo);
  document.getElementById("to").value = asked.get("to") || dayText(new Date());
  for (const name of ["line", "operator", "caller"]) document.getElementById(name).value = asked.get(name) || "";
  if (who.role !== "supervisor") document.getElementById("operator").value = String(who.operatorID || "");
  const controls = document.getElementById("controls");
  controls.hidden = false;
  controls.addEventListener("submit", (event) => {
    event.preventDefault();
    search();
  });
  search();
}

start();
