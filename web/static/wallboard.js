// The supervisor's wallboard: queues with the callers waiting, operators, lines with their calls, the last
// call events. With ?tv it is laid out for a wall screen: everything on one 1080p screen, no scrolling.
"use strict";

let state = null;
let live = false;
let frozenAt = Date.now();  // while not live the clocks stand still at the moment it was lost
const recentEvents = [];
const tv = new URLSearchParams(location.search).has("tv");
let me = null;
let monitorNote = "";  // what the server said of the last listen, coach or join

// A supervisor with a station of their own listens in on a call: their station rings, then they hear the call
// (listen), are heard by the operator only (coach) or by both (join); a second button switches the mode.
function monitorButtons(line, call) {
  if (tv || !me || me.role !== "supervisor" || !me.line || line.number === me.line) return null;
  const buttons = el("span", { class: "monitor" });
  for (const [label, mode] of [["listen", "listen"], ["coach", "whisper"], ["join", "barge"]]) {
    buttons.append(el("button", { type: "button", "data-monitor": mode, onclick: async () => {
      try {
        await api("POST", "/api/lines/" + encodeURIComponent(line.number) + "/calls/" + call.id + "/monitor", { mode });
        monitorNote = "Your station " + me.line + " rings to " + label + " (line " + line.number + ")";
      } catch (error) {
        monitorNote = error.message;
      }
      draw();
    } }, label));
  }
  return buttons;
}

function levelClass(percent) {
  if (percent === null || percent === undefined) return "";
  return percent >= 80 ? "ok" : percent >= 60 ? "warn" : "bad";
}

// The callers a rule holds, longest waiting first.
function waitingCallers(rule) {
  const calls = [];
  for (const line of state.lines) {
    if (line.rule !== rule) continue;
    for (const call of line.calls) calls.push(call);
  }
  return calls.sort((a, b) => a.since - b.since);
}

function findCall(line, id) {
  const found = state ? state.lines.find((candidate) => candidate.number === line) : null;
  return found ? found.calls.find((call) => call.id === id) : null;
}

function eventText(event) {
  const words = eventWords[event.event] || event.event;
  const who = callerOf(findCall(event.line, event.call)) || event.caller || "";
  return new Date(event.time).toLocaleTimeString() + "  line " + event.line + ": " + (who ? who + " " : "call ") + words;
}

function draw() {
  const board = document.getElementById("board");
  if (!state) return;
  const now = live ? Date.now() : frozenAt;
  const queues = el("table", { id: "queues" },
    el("tr", {}, el("th", {}, "Rule"), el("th", {}, "Waiting"), el("th", {}, "Longest wait"), el("th", {}, "Service level"),
      el("th", {}, "Offered"), el("th", {}, "Answered"), el("th", {}, "Abandoned"), el("th", {}, "Speed of answer")));
  const waiting = el("div", { id: "waiting" });
  for (const queue of state.queues) {
    queues.append(el("tr", { "data-rule": queue.ruleID },
      el("td", {}, queue.rule),
      el("td", { class: "big" + (queue.waiting > 0 ? " warn" : "") }, queue.waiting),
      el("td", { class: "big" }, minutesSeconds(queue.longestWait * 1000)),
      el("td", { class: "big " + levelClass(queue.serviceLevelPercent) }, queue.serviceLevelPercent === null ? "–" : queue.serviceLevelPercent + "%"),
      el("td", {}, queue.offered), el("td", {}, queue.answered), el("td", {}, queue.abandoned),
      el("td", {}, minutesSeconds(queue.averageSpeedOfAnswer * 1000))));
    const list = el("ol", { class: "waiting", "data-rule": queue.ruleID });
    waitingCallers(queue.rule).forEach((call, place) => {
      const number = call.originalCaller || call.remote || "unknown number";
      list.append(el("li", { "data-call": call.id },
        el("span", { class: "place" }, (place + 1) + "."), " ",
        el("span", { class: "wait" }, minutesSeconds(now - call.since)), " ",
        call.contact ? call.contact + (call.company ? ", " + call.company : "") + " (" + number + ")" : number));
    });
    // The callbacks not made yet: they keep the callers' places (place 0: being called now).
    for (const callback of (state.callbacks || []).filter((item) => item.ruleID === queue.ruleID)) {
      list.append(el("li", { class: "callback", "data-callback": callback.number },
        el("span", { class: "place" }, callback.place > 0 ? callback.place + "." : "now"), " ",
        el("span", { class: "wait" }, minutesSeconds(callback.waitSeconds * 1000)), " ",
        "callback " + callback.number + " · " + callback.state + " · attempts " + callback.attempts));
    }
    if (!list.childElementCount) list.append(el("li", { class: "none" }, "nobody waiting"));
    waiting.append(el("h3", {}, queue.rule), list);
  }
  const operators = el("table", { id: "operators" },
    el("tr", {}, el("th", {}, "Operator"), el("th", {}, "Line"), el("th", {}, "State"), el("th", {}, "For"), el("th", {}, "Calls")));
  for (const person of state.operators) {
    const activity = person.activity || person.status;
    operators.append(el("tr", { "data-operator": person.id },
      el("td", {}, operatorName(person)), el("td", {}, person.line),
      el("td", { class: "state-" + activity.replace(/ /g, "-") }, activityText(person, now)),
      el("td", {}, minutesSeconds(now - person.statusSince)), el("td", {}, person.calls)));
  }
  const names = new Map(state.operators.map((person) => [person.id, operatorName(person)]));
  const lines = el("table", { id: "lines" },
    el("tr", {}, el("th", {}, "Line"), el("th", {}, "Operator"), el("th", {}, "Calls")));
  for (const line of state.lines) {
    const calls = el("td", {});
    for (const call of line.calls) {
      const who = call.originalCaller || call.remote || "?";
      const contact = call.contact ? " · " + call.contact + (call.company ? ", " + call.company : "") : "";
      calls.append(el("span", { class: "call", "data-call": call.id },
        call.state + " · " + (call.direction === "in" ? "from " : "to ") + who + contact + " · " + minutesSeconds(now - call.since),
        monitorButtons(line, call)));
    }
    lines.append(el("tr", { "data-line": line.number },
      el("td", {}, line.number + " " + line.name + (line.outer ? " (outer)" : "") + (line.dnd ? " DND" : "")),
      el("td", {}, line.operator === null ? "-" : names.get(line.operator) || line.operator), calls));
  }
  const events = el("ul", { class: "events", id: "events" });
  for (const event of recentEvents.slice(0, tv ? 5 : 10)) events.append(el("li", {}, eventText(event)));
  const down = state.connected ? null
    : el("p", { class: "alert", id: "server-down", role: "alert" }, "The server does not answer: these figures are from " + new Date(frozenAt).toLocaleTimeString() + ".");
  const note = monitorNote ? el("p", { class: "note", id: "monitor-note", role: "status" }, monitorNote) : null;
  board.replaceChildren(...[down, note,
    el("section", { class: "queues" }, el("h2", {}, "Queues today"), queues, waiting),
    el("section", { class: "operators" }, el("h2", {}, "Operators"), operators),
    el("section", { class: "lines" }, el("h2", {}, "Lines"), lines),
    el("section", { class: "last-events" }, el("h2", {}, "Last events"), events)].filter(Boolean));
}

let socketOpen = false;

function update() {
  const wasLive = live;
  live = showConnection(socketOpen, Boolean(state && state.connected));
  if (wasLive && !live) frozenAt = Date.now();
  if (live) document.getElementById("clock").textContent = new Date().toLocaleTimeString();
  draw();
}

async function start() {
  document.body.classList.toggle("tv", tv);
  me = await ensureLogin(document.getElementById("board"));
  showUser(me);
  listen((fresh) => { state = fresh; update(); },
    (events) => {
      for (const event of events) {
        // The caller is remembered while the call is known, for the events that come after it has gone.
        event.caller = callerOf(findCall(event.line, event.call));
        recentEvents.unshift(event);
      }
      recentEvents.length = Math.min(recentEvents.length, 10);
      draw();
    },
    (open) => { socketOpen = open; update(); });
  setInterval(update, 1000);
}

start();
