// The supervisors' report page: a range and an interval, charts of the service level and of the calls, the
// offered calls by weekday and hour, and tables per rule and per operator that sort by column.
"use strict";

const charts = {};

function day(date) {
  return date.getFullYear() + "-" + String(date.getMonth() + 1).padStart(2, "0") + "-" + String(date.getDate()).padStart(2, "0");
}

// The range's first and last day as yyyy-mm-dd, in the local time the server counts in.
function rangeDays(range) {
  const today = new Date();
  today.setHours(12, 0, 0, 0);  // midday: adding days never lands on the wrong side of a clock change
  const shifted = (days) => { const d = new Date(today); d.setDate(d.getDate() + days); return d; };
  const monday = -((today.getDay() + 6) % 7);
  switch (range) {
    case "yesterday": return [day(shifted(-1)), day(shifted(-1))];
    case "this-week": return [day(shifted(monday)), day(today)];
    case "last-week": return [day(shifted(monday - 7)), day(shifted(monday - 1))];
    case "custom": return [document.getElementById("from").value, document.getElementById("to").value];
    default: return [day(today), day(today)];
  }
}

function clock(seconds) {
  if (seconds === null || seconds === undefined) return "–";
  const whole = Math.round(seconds);
  const hours = Math.floor(whole / 3600), minutes = Math.floor(whole % 3600 / 60), rest = whole % 60;
  return (hours ? hours + ":" + String(minutes).padStart(2, "0") : String(minutes)) + ":" + String(rest).padStart(2, "0");
}

function percent(value) { return value === null || value === undefined ? "–" : value.toFixed(1) + " %"; }

// A table whose columns sort when their heading is clicked; each cell keeps the value it sorts by.
function sortableTable(table, columns, rows) {
  const head = el("tr", {});
  const body = el("tbody", {});
  let sortedBy = -1, ascending = true;
  const fill = () => {
    const ordered = rows.slice();
    if (sortedBy >= 0) {
      const key = columns[sortedBy].value;
      ordered.sort((a, b) => {
        const x = key(a), y = key(b);
        const order = x === y ? 0 : (x === null || x === undefined) ? -1 : (y === null || y === undefined) ? 1 : x < y ? -1 : 1;
        return ascending ? order : -order;
      });
    }
    body.replaceChildren(...ordered.map((row) => el("tr", {}, ...columns.map((column) => el("td", {}, column.show(row))))));
  };
  columns.forEach((column, index) => {
    const th = el("th", { scope: "col" }, column.title);
    th.addEventListener("click", () => {
      ascending = sortedBy === index ? !ascending : true;
      sortedBy = index;
      for (const other of head.children) other.removeAttribute("aria-sort");
      th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
      fill();
    });
    head.append(th);
  });
  table.replaceChildren(el("thead", {}, head), body);
  fill();
}

function column(title, field, show) {
  return { title, value: (row) => row[field], show: (row) => (show ? show(row[field], row) : row[field]) };
}

function drawRules(rows) {
  sortableTable(document.getElementById("rules-table"), [
    column("Rule", "ruleName"),
    column("Offered", "offered"),
    column("Answered", "answered"),
    column("In level", "answeredInServiceLevel", (value, row) => value + " (≤ " + row.serviceLevelSeconds + " s)"),
    column("Service level", "serviceLevelPercent", percent),
    column("Abandoned", "abandoned"),
    column("Short", "shortAbandoned"),
    column("Overflowed", "overflowed"),
    column("Avg wait", "averageWait", clock),
    column("Longest wait", "longestWait", clock),
    column("Speed of answer", "averageSpeedOfAnswer", clock),
    column("Avg talk", "averageTalk", clock),
    column("Avg wrap-up", "averageWrapUp", clock),
  ], rows);
}

function drawOperators(rows) {
  sortableTable(document.getElementById("operators-table"), [
    column("Operator", "name", (value, row) => value || "Operator " + row.operatorID),
    column("Answered", "answered"),
    column("Talk", "talkSeconds", clock),
    column("Hold", "holdSeconds", clock),
    column("Wrap-up", "wrapUpSeconds", clock),
    column("Pause", "pauseSeconds", clock),
    column("Pause by reason", "pauseByReason", (value) =>
      value ? value.split(";").map((pair) => { const [reason, seconds] = pair.split("="); return reason + ": " + clock(Number(seconds)); }).join(", ") : "–"),
    column("Logged in", "loggedInSeconds", clock),
    column("Busy", "busySeconds", clock),
    column("Occupancy", "occupancyPercent", percent),
  ], rows);
}

function drawHeatMap(cells) {
  const table = document.getElementById("heat-map");
  const names = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"];
  const counts = Array.from({ length: 7 }, () => new Array(24).fill(0));
  let most = 0;
  for (const cell of cells) {
    const row = (cell.weekday + 6) % 7;  // Monday first
    counts[row][cell.hour] = cell.offered;
    most = Math.max(most, cell.offered);
  }
  const head = el("tr", {}, el("th", {}, ""), ...Array.from({ length: 24 }, (_, hour) => el("th", {}, hour)));
  const rows = counts.map((hours, index) => el("tr", {}, el("th", {}, names[index]), ...hours.map((count) => {
    const cell = el("td", { title: count + " offered" }, count || "");
    const strength = most ? count / most : 0;
    cell.style.background = count ? "rgba(31, 95, 191, " + (0.12 + 0.88 * strength).toFixed(2) + ")" : "#f0f3f6";
    cell.style.color = strength > 0.5 ? "#fff" : "#18212a";
    return cell;
  })));
  table.replaceChildren(head, ...rows);
}

function drawCharts(report, target) {
  const labels = report.rows.map((row) => {
    const [date, time] = row.start.split(" ");
    return report.interval === "day" || report.interval === "week" ? date : (report.rows.length > 100 ? date.slice(5) + " " : "") + time;
  });
  const common = { animation: false, responsive: true, maintainAspectRatio: false, plugins: { legend: { position: "bottom" } } };
  for (const chart of Object.values(charts)) chart.destroy();
  charts.level = new Chart(document.getElementById("service-level-chart"), {
    type: "line",
    data: {
      labels,
      datasets: [
        // Intervals without callers have no service level: the line breaks there rather than inventing one.
        { label: "Service level %", data: report.rows.map((row) => row.serviceLevelPercent), borderColor: "#1f5fbf",
          backgroundColor: "#1f5fbf", spanGaps: false, pointRadius: 2 },
        { label: "Target " + target + " %", data: report.rows.map(() => target), borderColor: "#b3261e", borderDash: [6, 4],
          pointRadius: 0, fill: false },
      ],
    },
    options: { ...common, scales: { y: { min: 0, max: 100, title: { display: true, text: "%" } } } },
  });
  charts.calls = new Chart(document.getElementById("calls-chart"), {
    type: "bar",
    data: {
      labels,
      datasets: [
        { label: "Answered", data: report.rows.map((row) => row.answered), backgroundColor: "#2e9d5b", stack: "calls" },
        { label: "Abandoned", data: report.rows.map((row) => row.abandoned), backgroundColor: "#d9534f", stack: "calls" },
      ],
    },
    options: { ...common, scales: { x: { stacked: true }, y: { stacked: true, beginAtZero: true, ticks: { precision: 0 } } } },
  });
}

function query(from, to, interval, rule) {
  const parameters = new URLSearchParams({ from, to, interval });
  if (rule) parameters.set("rule", rule);
  return parameters;
}

async function show() {
  const message = document.getElementById("message");
  const range = document.getElementById("range").value;
  const [from, to] = rangeDays(range);
  const interval = document.getElementById("interval").value;
  const rule = document.getElementById("rule").value;
  const target = Number(document.getElementById("target").value) || 0;
  const parameters = query(from, to, interval, rule);
  const everyRule = query(from, to, interval, "");
  history.replaceState(null, "", "/reports?" + parameters.toString() + "&range=" + range);
  for (const [name, kept] of [["rules", everyRule], ["intervals", parameters], ["operators", everyRule]]) {
    const csv = new URLSearchParams(kept);
    csv.set("format", "csv");
    document.getElementById("csv-" + name).href = "/api/reports/" + name + "?" + csv.toString();
  }
  message.textContent = "";
  try {
    // One after the other: the gateway counts only a couple of reports at once.
    const intervals = await api("GET", "/api/reports/intervals?" + parameters.toString());
    const rules = await api("GET", "/api/reports/rules?" + everyRule.toString());
    const operators = await api("GET", "/api/reports/operators?" + everyRule.toString());
    const choice = document.getElementById("rule");
    for (const row of rules.rows) {
      if (![...choice.options].some((option) => option.value === String(row.rule)))
        choice.append(el("option", { value: row.rule }, row.ruleName));
    }
    document.getElementById("period").textContent = "From " + intervals.from.slice(0, 16) + " to " + intervals.to.slice(0, 16) +
      ", by " + intervals.interval + (rule ? ", rule " + rule : ", every rule") + " · times are the server's local time, " +
      intervals.timeZone + " (UTC" + intervals.utcOffset + ") · short abandons (≤ " + intervals.shortAbandonSeconds +
      " s) are left out of the service level";
    document.getElementById("report").hidden = false;
    drawCharts(intervals, target);
    drawHeatMap(intervals.offeredByWeekdayAndHour);
    drawRules(rules.rows);
    drawOperators(operators.rows);
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
  if (who.role !== "supervisor") {
    document.getElementById("message").textContent = "Reports are for supervisors; " + who.user + " is an operator.";
    return;
  }
  const controls = document.getElementById("controls");
  const asked = new URLSearchParams(location.search);
  const range = asked.get("range") || (asked.has("from") ? "custom" : "today");
  document.getElementById("range").value = range;
  if (asked.has("from")) document.getElementById("from").value = asked.get("from");
  document.getElementById("to").value = asked.get("to") || asked.get("from") || "";
  if (asked.has("interval")) document.getElementById("interval").value = asked.get("interval");
  if (asked.has("rule")) {
    const rule = asked.get("rule");
    document.getElementById("rule").append(el("option", { value: rule }, "Rule " + rule));
    document.getElementById("rule").value = rule;
  }
  const showCustom = () => {
    for (const label of controls.querySelectorAll(".custom")) label.hidden = document.getElementById("range").value !== "custom";
  };
  document.getElementById("range").addEventListener("change", showCustom);
  showCustom();
  controls.hidden = false;
  controls.addEventListener("submit", (event) => { event.preventDefault(); show(); });
  await show();
}

start();
