// The front panel: the eight channels as a table that checks each edit
// through the tool at once, the timing diagram, the instrument's commands,
// delay reports and the wire trace as they come.
import {call, listen} from "/api.js";

const kModes = ["", "delay", "dyn-delay", "up-down", "validate", "clock", "count", "toggle",
  "passive", "null"];
const kTimed = new Set(["delay", "dyn-delay", "up-down", "validate", "clock"]);
const kLetters = [..."ABCDEFGH"];
const kKeptLines = 200;
const $ = (selector) => document.querySelector(selector);
const rows = {};
let state = null;

function element(tag, properties = {}, ...children) {
  const made = document.createElement(tag);
  Object.assign(made, properties);
  made.append(...children);
  return made;
}

// A table cell with an input and the line beneath it for its messages.
function fieldCell(letter, name, input) {
  const message = element("div", {className: "message", id: `message-${letter}-${name}`});
  input.setAttribute("aria-describedby", message.id);
  input.setAttribute("aria-label", `${letter} ${name}`);
  input.dataset.channel = letter;
  input.dataset.field = name;
  input.addEventListener("change", () => edit(letter));
  return {cell: element("td", {}, input, message), message};
}

function buildRow(letter) {
  const text = (size) => element("input", {type: "text", size, spellcheck: false});
  const inputs = {
    mode: element("select", {}, ...kModes.map((m) => element("option", {value: m, textContent: m || "default"}))),
    delay: text(9),
    duration: text(9),
    logic: text(22),
  };
  const cells = Object.fromEntries(Object.entries(inputs).map(([name, input]) => [name, fieldCell(letter, name, input)]));
  const enabled = element("input", {type: "checkbox", title: "enabled after apply"});
  enabled.setAttribute("aria-label", `${letter} enabled`);
  enabled.addEventListener("change", () => edit(letter));
  const outcome = element("div", {className: "message"});
  const commands = element("td", {className: "commands"}, ...["enable", "disable", "trigger", "query"].map((command) =>
    element("button", {textContent: command, onclick: () => run(`channel/${letter}/${command}`)})), outcome);
  const report = element("td", {className: "mono report"});
  $("#channels tbody").append(element("tr", {id: `row-${letter}`}, element("th", {textContent: letter}),
    cells.mode.cell, cells.delay.cell, cells.duration.cell, element("td", {}, enabled), cells.logic.cell, commands, report));
  rows[letter] = {...inputs, enabled, report, outcome,
    messages: Object.fromEntries(Object.entries(cells).map(([name, cell]) => [name, cell.message]))};
}

// A time field as typed, or the value the setup holds when it still shows
// what the panel wrote there (the shown text is rounded for reading).
function timeValue(input, held) {
  return input.value === input.dataset.shown && held !== undefined ? held : input.value.trim();
}

// Edits go one after the other, each on the state the one before left.
let editing = Promise.resolve();
function edit(letter) {
  editing = editing.then(() => editNow(letter));
}

async function editNow(letter) {
  const row = rows[letter];
  const setup = structuredClone(state.setup);
  setup.channels = setup.channels || {};
  const old = setup.channels[letter] || {};
  const mode = row.mode.value;
  // Another mode starts from its own defaults, keeping the times it shares.
  const channel = mode === (old.mode || "") ? old : (mode ? {mode} : {});
  if (kTimed.has(mode) && kTimed.has(old.mode || "")) {
    channel.delay = timeValue(row.delay, old.delay);
    channel.duration = timeValue(row.duration, old.duration);
  }
  if (row.logic.value !== "" || old.logic !== undefined) channel.logic = row.logic.value;
  if (row.enabled.checked || old.enabled !== undefined) channel.enabled = row.enabled.checked;
  setup.channels[letter] = channel;
  await sendSetup(setup);
}

function openFile(file) {
  editing = editing.then(async () => {
    try {
      await sendSetup(JSON.parse(await file.text()));
    } catch (error) {
      showOutcome({ok: false, what: `open ${file.name}`, message: error.message});
    }
  });
}

async function sendSetup(setup) {
  const {ok, data} = await call("setup", setup);
  if (ok) {
    show(data, true);
  } else {
    slot(data.key || "").textContent = data.error;
    slot(data.key || "").className = "message problem";
  }
}

// Where a message for a key of the setup file goes: beside its field, else
// beside the channel's mode, else above the table.
function slot(key) {
  const [head, letter, field] = key.split(".");
  if (head === "channels" && rows[letter]) {
    return rows[letter].messages[field] || rows[letter].messages.mode;
  }
  return $("#general");
}

function show(next, force = false) {
  state = next;
  for (const letter of kLetters) {
    const row = rows[letter];
    const channel = (state.setup.channels || {})[letter] || {};
    const times = state.times[letter] || {};
    const put = (input, value) => {
      // Not under the user's fingers: a field being typed in keeps its text.
      if (force || document.activeElement !== input || input.value === input.dataset.shown) {
        input.value = value;
        input.dataset.shown = value;
      }
    };
    put(row.mode, channel.mode || "");
    put(row.delay, times.delay || "");
    put(row.duration, times.duration || "");
    put(row.logic, channel.logic || "");
    row.delay.disabled = row.duration.disabled = !kTimed.has(channel.mode);
    row.enabled.checked = channel.enabled === true;
    for (const message of Object.values(row.messages)) {
      message.textContent = "";
      message.className = "message";
    }
  }
  $("#general").textContent = "";
  for (const [list, kind] of [[state.warnings, "warning"], [state.problems, "problem"]]) {
    for (const {key, text} of list) {
      const target = slot(key);
      target.textContent = (target.textContent ? target.textContent + "; " : "") + text;
      target.className = target === $("#general") ? kind : `message ${kind}`;
    }
  }
  $("#diagram").src = "data:image/svg+xml;charset=utf-8," + encodeURIComponent(state.diagram);
  $("#port").textContent = state.port;
  $("#save").hidden = !state.setupFile;
  $("#save").title = state.setupFile ? `write ${state.setupFile}` : "";
  $("#trace").checked = state.trace;
  showConnection(state.connection);
}

function showConnection(word) {
  $("#connection").textContent = word;
  $("#connection").className = `badge ${word}`;
}

function showOutcome(outcome) {
  const line = $("#outcome");
  line.textContent = `${outcome.ok ? "✓" : "✗"} ${outcome.what}: ${outcome.message}`;
  line.className = `outcome ${outcome.ok ? "ok" : "failed"}`;
  const letter = /^\w+ ([A-H])$/.exec(outcome.what || "");
  if (letter) {
    rows[letter[1]].outcome.textContent = outcome.message;
    rows[letter[1]].outcome.className = `message ${outcome.ok ? "ok" : "problem"}`;
  }
}

function prepend(list, text) {
  list.prepend(element("li", {textContent: text}));
  while (list.children.length > kKeptLines) list.lastChild.remove();
}

async function run(path, body = {}) {
  const {data} = await call(path, body);
  if (data.what) {
    showOutcome(data);
  } else if (data.error) {
    showOutcome({ok: false, what: path, message: data.error});
  } else if (data.setup) {
    show(data, true);
  }
}

function download() {
  const link = element("a", {download: (state.setupFile || "setup.json").split("/").pop(),
    href: URL.createObjectURL(new Blob([state.setupText], {type: "application/json"}))});
  link.click();
  URL.revokeObjectURL(link.href);
}

function wire() {
  $("#apply").onclick = () => run("apply");
  for (const button of document.querySelectorAll("[data-device]")) {
    button.onclick = () => run(`device/${button.dataset.device}`);
  }
  $("#capture").onclick = () => run("capture");
  $("#save").onclick = () => run("save");
  $("#download").onclick = download;
  $("#open-file").onclick = () => $("#open").click();
  $("#open").onchange = (event) => event.target.files[0] && openFile(event.target.files[0]);
  $("#trace").onchange = (event) => run("trace", {on: event.target.checked});
  listen({
    state: (next) => show(next),
    outcome: showOutcome,
    connection: ({state: word}) => showConnection(word),
    report: (report) => {
      const text = `${report.text} (${report.counts} counts) at ${report.t.toFixed(6)} s`;
      rows[report.channel].report.textContent = text;
      prepend($("#reports"), `${report.channel}  ${text}`);
    },
    trace: (event) => prepend($("#wire"), `${event.t.toFixed(6)} ${event.kind} ${event.bytes}  ${event.step}`),
  });
}

kLetters.forEach(buildRow);
wire();
const first = await call("state");
if (first.ok) {
  show(first.data, true);
} else {
  showOutcome({ok: false, what: "the panel", message: first.data.error});
}
