// The operator's panel: log in at the line, set the status, see the ringing caller with their CRM contact,
// answer, hold, transfer, record and hang up; with the phone switched on (phone.js) the browser is the line's
// station. Built once and updated in place: a click, the focus and what is typed
// survive every update.
"use strict";

let me = null;
let myLine = null;
let state = null;
let socketOpen = false;
const baseTitle = document.title;
const cards = new Map();  // call id -> the call's card and its parts
const ui = {};

// The buttons each call state offers.
const buttonsFor = {
  offering: ["answer", "hangup"], accepted: ["answer", "hangup"],
  connected: ["hold", "hangup", "transfer", "consult", "record", "pauseRecord"], conferenced: ["hangup"],
  "on hold": ["unhold", "hangup"], "held (transfer)": ["unhold", "complete", "hangup"], "held (conference)": ["unhold", "hangup"],
};

async function act(path, body) {
  try {
    await api("POST", "/api/lines/" + myLine + path, body || {});
    setText(ui.message, "");
  } catch (error) {
    setText(ui.message, error.message);
  }
}

// The call's recording as the server's answers told it: "off", "on" or "paused" (a line that records every call
// says so at the first press).
async function record(card, call, wanted) {
  try {
    await api("POST", "/api/lines/" + myLine + "/calls/" + call.id + "/record", { recording: wanted });
    card.recording = { start: "on", resume: "on", pause: "paused", stop: "off" }[wanted];
    setText(ui.message, "");
  } catch (error) {
    if (wanted === "start" && /recorded already/.test(error.message)) card.recording = "on";
    else if (/not being recorded/.test(error.message)) card.recording = "off";
    setText(ui.message, error.message);
  }
  showRecording(card);
}

function showRecording(card) {
  const recording = card.recording;
  setText(card.buttons.record, recording === "off" ? "Record" : "Stop recording");
  setText(card.buttons.pauseRecord, recording === "paused" ? "Resume recording" : "Pause recording");
  card.buttons.record.classList.toggle("on", recording !== "off");
  card.buttons.record.setAttribute("aria-pressed", String(recording !== "off"));
  card.buttons.pauseRecord.setAttribute("aria-pressed", String(recording === "paused"));
}

// A ring the operator hears: two short tones every two seconds while a call is offered. Browsers allow sound
// only after the page was used once, so the sound starts with the first click.
let audio = null;
let ringTimer = null;
window.ringsPlayed = 0;
document.addEventListener("click", () => {
  if (!audio && window.AudioContext) audio = new AudioContext();
}, { once: true });

function ring() {
  window.ringsPlayed++;
  if (!audio) return;
  for (const [start, frequency] of [[0, 440], [0.5, 480]]) {
    const tone = audio.createOscillator();
    const volume = audio.createGain();
    volume.gain.value = 0.15;
    tone.frequency.value = frequency;
    tone.connect(volume).connect(audio.destination);
    tone.start(audio.currentTime + start);
    tone.stop(audio.currentTime + start + 0.4);
  }
}

function setRinging(call) {
  if (call) {
    const who = callerOf(call) || "unknown caller";
    setText(ui.ringing, "Ringing: " + who + (call.company && call.contact ? " (" + call.company + ")" : "") +
      (call.originalCaller && call.originalCaller !== who ? " from " + call.originalCaller : ""));
    document.title = "☎ Ringing: " + who + " · " + baseTitle;
    if (!ringTimer) {
      ring();
      ringTimer = setInterval(ring, 2000);
    }
  } else {
    setText(ui.ringing, "");
    document.title = baseTitle;
    clearInterval(ringTimer);
    ringTimer = null;
  }
}

function build(panel) {
  const button = (id, label, onclick) => el("button", { id, type: "button", onclick }, label);
  ui.picker = el("div", { class: "actions", hidden: true },
    el("label", { for: "line-select" }, "Line"), ui.lineSelect = el("select", { id: "line-select" }));
  ui.lineSelect.addEventListener("change", () => chooseLine(ui.lineSelect.value));
  ui.title = el("h2", { id: "line-title" });
  ui.missing = el("p", { class: "alert", id: "line-missing", role: "alert", hidden: true });
  ui.operatorID = el("input", { id: "operator-id", inputmode: "numeric", size: 10 });
  ui.seatOut = el("div", { class: "actions", hidden: true },
    me.role === "supervisor" ? el("label", { for: "operator-id" }, "Operator ID") : null,
    me.role === "supervisor" ? ui.operatorID : null,
    button("login", "Log in at this line", () =>
      act("/login", me.role === "supervisor" ? { operatorID: Number(ui.operatorID.value) } : {})));
  ui.reason = el("select", { id: "pause-reason" });
  ui.status = el("span", { id: "status" });
  ui.seatInfo = el("p", {}, ui.status);
  ui.seatIn = el("div", { hidden: true }, ui.seatInfo,
    el("div", { class: "actions" },
      button("ready", "Ready", () => act("/status", { status: "ready" })),
      button("busy", "Busy", () => act("/status", { status: "busy" })),
      el("label", { for: "pause-reason" }, "Pause reason"), ui.reason,
      button("pause", "Pause", () => act("/status", { status: "pause", reason: Number(ui.reason.value) || 0 })),
      button("logout", "Log out of the line", () => {
        phoneOff();
        act("/logout");
      })),
    ui.phone = buildPhone());
  ui.ringing = el("div", { id: "ringing", class: "ringing", "aria-live": "assertive", role: "status" });
  ui.calls = el("div", { id: "calls" });
  ui.dial = el("input", { id: "dial-number", inputmode: "tel", size: 12, autocomplete: "off" });
  ui.message = el("p", { class: "message", id: "message", role: "alert" });
  panel.replaceChildren(ui.picker, ui.title, ui.missing, ui.seatOut, ui.seatIn, ui.ringing, ui.calls,
    el("div", { class: "actions" }, el("label", { for: "dial-number" }, "Number to dial"), ui.dial,
      button("dial", "Dial", () => {
        phoneDials(ui.dial.value);
        act("/dial", { number: ui.dial.value });
      })),
    ui.message);
}

function chooseLine(number) {
  myLine = number;
  history.replaceState(null, "", "/panel?line=" + encodeURIComponent(number));
  for (const card of cards.values()) card.root.remove();
  cards.clear();
  draw();
}

function makeCard(call) {
  const path = () => "/calls/" + call.id;
  const target = el("input", { class: "target", id: "target-" + call.id, inputmode: "tel", size: 10, autocomplete: "off" });
  const button = (name, label, onclick) => el("button", { class: name, type: "button", onclick }, label);
  const card = {
    contact: el("div", { class: "contact" }),
    company: el("div", { class: "company" }),
    info: el("div", { class: "info" }),
    target,
    buttons: {
      answer: button("answer", "Answer", async () => {
        // With the phone on, the phone answers: the server learns it from the phone, and the sound is here.
        if (!(await phoneAnswers())) act(path() + "/answer");
      }),
      hold: button("hold", "Hold", () => act(path() + "/hold")),
      unhold: button("unhold", "Take back", () => act(path() + "/unhold")),
      complete: button("complete", "Complete transfer", () => act(path() + "/complete")),
      hangup: button("hangup", "Hang up", () => act(path() + "/hangup")),
      transfer: button("transfer", "Transfer", () => act(path() + "/transfer", { number: target.value })),
      consult: button("consult", "Consult", () => act(path() + "/consult", { number: target.value })),
      record: button("record", "Record", () => record(card, call, card.recording === "off" ? "start" : "stop")),
      pauseRecord: button("pause-record", "Pause recording",
        () => record(card, call, card.recording === "paused" ? "resume" : "pause")),
    },
    recording: "off",
  };
  card.transferRow = el("div", { class: "actions" },
    el("label", { for: target.id }, "Transfer to"), target, card.buttons.transfer, card.buttons.consult);
  card.root = el("div", { class: "panel call-card", "data-call": call.id },
    card.contact, card.company, card.info,
    el("div", { class: "actions" }, card.buttons.answer, card.buttons.hold, card.buttons.unhold, card.buttons.complete,
      card.buttons.hangup, card.buttons.record, card.buttons.pauseRecord),
    card.transferRow);
  return card;
}

function updateCard(card, call, now) {
  setText(card.contact, call.contact || call.originalCaller || call.remote || "unknown caller");
  setText(card.company, call.company || "");
  setText(card.info, call.state + " · " + (call.direction === "in" ? "from " : "to ") +
    (call.originalCaller || call.remote || "?") + " · " + minutesSeconds(now - call.since));
  card.root.dataset.state = call.state;
  const offered = buttonsFor[call.state] || ["hangup"];
  for (const [name, node] of Object.entries(card.buttons)) {
    if (name === "transfer" || name === "consult") continue;
    node.hidden = !offered.includes(name);
  }
  if (card.recording === "off") card.buttons.pauseRecord.hidden = true;
  card.transferRow.hidden = !offered.includes("transfer");
}

function updatePauseReasons(reasons) {
  const wanted = [["0", "none"], ...reasons.map((reason) => [String(reason.id), reason.name])];
  const now = [...ui.reason.options].map((option) => [option.value, option.textContent]);
  if (JSON.stringify(wanted) === JSON.stringify(now)) return;
  const chosen = ui.reason.value;
  ui.reason.replaceChildren(...wanted.map(([value, name]) => el("option", { value }, name)));
  if (wanted.some(([value]) => value === chosen)) ui.reason.value = chosen;
}

function updateLinePicker() {
  if (me.role !== "supervisor") return;
  ui.picker.hidden = false;
  const wanted = state.lines.map((line) => [line.number, line.number + " " + line.name]);
  const now = [...ui.lineSelect.options].map((option) => [option.value, option.textContent]);
  if (JSON.stringify(wanted) !== JSON.stringify(now.filter(([value]) => value !== ""))) {
    ui.lineSelect.replaceChildren(el("option", { value: "" }, "choose a line"),
      ...wanted.map(([value, name]) => el("option", { value }, name)));
  }
  if (ui.lineSelect.value !== (myLine || "")) ui.lineSelect.value = myLine || "";
}

function draw() {
  if (!state || !ui.title) return;
  const live = showConnection(socketOpen, state.connected);
  const now = Date.now();
  updateLinePicker();
  updatePauseReasons(state.pauseReasons || []);
  const line = myLine ? state.lines.find((candidate) => candidate.number === myLine) : null;
  setText(ui.title, myLine ? "Line " + myLine + (line ? " · " + line.name : "") : "Choose a line");
  const missing = Boolean(myLine && !line && state.connected);
  ui.missing.hidden = !missing;
  setText(ui.missing, missing ? "Line " + myLine + " does not exist." : "");
  const person = line && line.operator !== null ? state.operators.find((candidate) => candidate.id === line.operator) : null;
  ui.seatOut.hidden = !line || Boolean(person) || !live;
  ui.seatIn.hidden = !person;
  // The phone is the station of the operator's own line, while they are logged in there.
  const ownSeat = Boolean(person && me.role === "operator" && me.line === myLine && person.id === me.operatorID);
  if (ownSeat) phoneProbe();
  ui.phone.hidden = !ownSeat || phone.available !== true;
  if (!ownSeat && state.connected && phoneIsOn()) phoneOff();
  if (person) {
    ui.status.className = "state-" + (person.activity || person.status).replace(/ /g, "-");
    setText(ui.status, operatorName(person) + " · " + activityText(person, now) + " for " +
      minutesSeconds(now - person.statusSince) + " · calls " + person.calls);
  }
  const calls = line ? line.calls : [];
  for (const [id, card] of cards) {
    if (!calls.some((call) => call.id === id)) {
      card.root.remove();
      cards.delete(id);
    }
  }
  let ringingCall = null;
  for (const call of calls) {
    let card = cards.get(call.id);
    if (!card) {
      card = makeCard(call);
      cards.set(call.id, card);
      ui.calls.append(card.root);
    }
    updateCard(card, call, now);
    if (!ringingCall && call.direction === "in" && (call.state === "offering" || call.state === "accepted")) ringingCall = call;
  }
  setRinging(ringingCall);
  if (phone.ringing) phoneTakesDialled(calls.some((call) => call.direction === "out" && call.state === "dial tone"));
}

async function start() {
  const panel = document.getElementById("panel");
  me = await ensureLogin(panel);
  showUser(me);
  myLine = me.line || new URLSearchParams(location.search).get("line");
  build(panel);
  if (!myLine && me.role !== "supervisor") {
    setText(ui.message, "Your user has no line: ask a supervisor.");
  }
  phone.onChange = draw;
  listen((fresh) => { state = fresh; draw(); }, () => {}, (open) => { socketOpen = open; draw(); });
  // Only the times move between states.
  setInterval(draw, 1000);
}

start();
