// The supervisor's wallboard: queues, operators, lines with their calls, the last call events.
"use strict";

let state = null;
const recentEvents = [];

function levelClass(percent) {
  return percent >= 80 ? "ok" : percent >= 60 ? "warn" : "bad";
}

function draw() {
  const board = document.getElementById("board");
  if (!state) return;
  const now = Date.now();
  const queues = el("table", { id: "queues" },
    el("tr", {}, el("th", {}, "Rule"), el("th", {}, "Waiting"), el("th", {}, "Longest wait"), el("th", {}, "Service level"),
      el("th", {}, "Offered"), el("th", {}, "Answered"), el("th", {}, "Abandoned"), el("th", {}, "Speed of answer")));
  for (const queue of state.queues) {
    queues.append(el("tr", { "data-rule": queue.ruleID },
      el("td", {}, queue.rule),
      el("td", { class: "big" + (queue.waiting > 0 ? " warn" : "") }, queue.waiting),
      el("td", { class: "big" }, minutesSeconds(queue.longestWait * 1000)),
      el("td", { class: "big " + levelClass(queue.serviceLevelPercent) }, queue.serviceLevelPercent + "%"),
      el("td", {}, queue.offered), el("td", {}, queue.answered), el("td", {}, queue.abandoned),
      el("td", {}, minutesSeconds(queue.averageSpeedOfAnswer * 1000))));
  }
  const operators = el("table", { id: "operators" },
    el("tr", {}, el("th", {}, "Operator"), el("th", {}, "Line"), el("th", {}, "State"), el("th", {}, "For"), el("th", {}, "Calls")));
  for (const person of state.operators) {
    const label = person.status + (person.status === "pause" && person.pauseReason ? " (" + person.pauseReason + ")" : "");
    operators.append(el("tr", { "data-operator": person.id },
      el("td", {}, person.name || "Operator " + person.id), el("td", {}, person.line),
      el("td", { class: "state-" + person.status }, label),
      el("td", {}, minutesSeconds(now - person.statusSince)), el("td", {}, person.calls)));
  }
  const lines = el("table", { id: "lines" },
    el("tr", {}, el("th", {}, "Line"), el("th", {}, "Operator"), el("th", {}, "Calls")));
  for (const line of state.lines) {
    const calls = el("td", {});
    for (const call of line.calls) {
      const who = call.originalCaller || call.remote || "?";
      const contact = call.contact ? " · " + call.contact + (call.company ? ", " + call.company : "") : "";
      calls.append(el("span", { class: "call", "data-call": call.id },
        call.state + " · " + (call.direction === "in" ? "from " : "to ") + who + contact + " · " + minutesSeconds(now - call.since)));
    }
    lines.append(el("tr", { "data-line": line.number },
      el("td", {}, line.number + " " + line.name + (line.outer ? " (outer)" : "") + (line.dnd ? " DND" : "")),
      el("td", {}, line.operator === null ? "-" : line.operator), calls));
  }
  const events = el("ul", { class: "events", id: "events" });
  for (const event of recentEvents) {
    events.append(el("li", {}, new Date(event.time).toLocaleTimeString() + "  " + event.line + "  " + event.event + "  " + event.call));
  }
  board.replaceChildren(
    el("section", {}, el("h2", {}, "Queues today"), queues),
    el("section", {}, el("h2", {}, "Operators"), operators),
    el("section", {}, el("h2", {}, "Lines"), lines),
    el("section", {}, el("h2", {}, "Last events"), events));
}

async function start() {
  await ensureLogin(document.getElementById("board"));
  listen((fresh) => { state = fresh; draw(); },
    (events) => {
      for (const event of events) recentEvents.unshift(event);
      recentEvents.length = Math.min(recentEvents.length, 10);
      draw();
    });
  setInterval(() => {
    document.getElementById("clock").textContent = new Date().toLocaleTimeString();
    draw();
  }, 1000);
}

start();
