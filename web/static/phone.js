// The operator's phone in the browser: the line's station registered through the gateway's WebSocket (SIP.js),
// its calls' sound over WebRTC, and how loud the microphone and the far end are. The panel drives it: the phone
// answers what rings at it, and the server's call control (hold, transfer, hang up) stays the station's, so the
// panel and the phone never disagree about a call.
"use strict";

const phone = {
  state: "off",       // off, starting, registered, reconnecting
  account: null,
  ua: null,
  microphone: null,   // the microphone's stream while the phone is on, for its level
  sessions: new Set(),
  ringing: null,      // the session ringing at the phone, not yet answered
  talking: null,      // the answered session
  dialled: null,      // { number, until }: a call the operator dialled rings the phone first; it is taken at once
  audio: null,        // the AudioContext the levels and the ring are measured and played with
  levels: { microphone: null, farEnd: null },
  player: null,       // the <audio> element the far end is heard through
  ui: {},
  onChange: () => {},
  available: null,    // whether the station has a phone for browsers here: null until asked
};

// Asks once whether the line's station can be a browser's phone (an exchange without a SIP WebSocket, or a
// station without a password, has none: the switch is not shown then).
async function phoneProbe() {
  if (phone.available !== null || phone.probing) return;
  phone.probing = true;
  try {
    await api("GET", "/api/sip");
    phone.available = true;
  } catch (error) {
    if (error.status === 404) phone.available = false;
  } finally {
    phone.probing = false;
  }
  phone.onChange();
}

function phoneAudio() {
  if (!phone.audio && window.AudioContext) phone.audio = new AudioContext();
  if (phone.audio && phone.audio.state === "suspended") phone.audio.resume();
  return phone.audio;
}

// An analyser of the stream's sound; levels are read from it ten times a second.
function phoneAnalyser(stream) {
  const context = phoneAudio();
  if (!context || !stream || stream.getAudioTracks().length === 0) return null;
  const analyser = context.createAnalyser();
  analyser.fftSize = 1024;
  const source = context.createMediaStreamSource(stream);
  source.connect(analyser);
  return { analyser, source, samples: new Float32Array(analyser.fftSize) };
}

function phoneDropAnalyser(name) {
  const level = phone.levels[name];
  if (level) level.source.disconnect();
  phone.levels[name] = null;
}

// The RMS of the last samples, 0 to 1, stretched so that speech fills the meter.
function phoneLevel(level) {
  if (!level) return 0;
  level.analyser.getFloatTimeDomainData(level.samples);
  let sum = 0;
  for (const sample of level.samples) sum += sample * sample;
  return Math.min(1, Math.sqrt(sum / level.samples.length) * 4);
}

function buildPhone() {
  const ui = phone.ui;
  ui.button = el("button", { id: "phone-switch", type: "button", "aria-pressed": "false",
    onclick: () => (phone.state === "off" ? phoneOn() : phoneOff()) }, "Phone: off");
  ui.state = el("span", { id: "phone-state", role: "status" }, "the browser is not your phone");
  ui.microphone = el("meter", { id: "microphone-level", min: 0, max: 1, value: 0, title: "microphone" });
  ui.farEnd = el("meter", { id: "far-end-level", min: 0, max: 1, value: 0, title: "far end" });
  ui.levels = el("span", { class: "levels", hidden: true },
    el("label", { for: "microphone-level" }, "Microphone"), ui.microphone,
    el("label", { for: "far-end-level" }, "Far end"), ui.farEnd);
  ui.message = el("p", { class: "alert", id: "phone-message", role: "alert", hidden: true });
  phone.player = el("audio", { id: "phone-sound", autoplay: "" });
  ui.root = el("div", { class: "phone", id: "phone" },
    el("div", { class: "actions" }, ui.button, ui.state, ui.levels), ui.message, phone.player);
  setInterval(() => {
    ui.microphone.value = phoneLevel(phone.levels.microphone);
    ui.farEnd.value = phoneLevel(phone.levels.farEnd);
  }, 100);
  window.addEventListener("pagehide", () => phoneOff());
  return ui.root;
}

function phoneSay(state, text) {
  phone.state = state;
  const ui = phone.ui;
  setText(ui.button, state === "off" ? "Phone: off" : "Phone: on");
  ui.button.setAttribute("aria-pressed", state === "off" ? "false" : "true");
  ui.root.dataset.state = state;
  setText(ui.state, text);
  ui.levels.hidden = state === "off";
  phone.onChange();
}

function phoneProblem(text) {
  setText(phone.ui.message, text);
  phone.ui.message.hidden = !text;
}

// What the browser said when the microphone was asked for, for a person.
function microphoneProblem(error) {
  if (error && (error.name === "NotAllowedError" || error.name === "SecurityError"))
    return "The microphone was refused: allow this page to use it (the lock or camera icon beside the address), " +
      "then switch the phone on again.";
  if (error && error.name === "NotFoundError") return "No microphone found: plug in a headset and switch the phone on again.";
  if (error && error.name === "NotReadableError") return "The microphone is in use by another program or could not be opened.";
  if (!window.isSecureContext) return "The microphone works only on https:// pages or on this computer's own address.";
  return "The microphone could not be opened" + (error && error.message ? ": " + error.message : ".");
}

async function phoneOn() {
  phoneProblem("");
  phoneSay("starting", "asking for the microphone…");
  phoneAudio();
  try {
    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) throw new Error("");
    phone.microphone = await navigator.mediaDevices.getUserMedia({ audio: true, video: false });
  } catch (error) {
    phoneSay("off", "the browser is not your phone");
    phoneProblem(microphoneProblem(error));
    return;
  }
  if (phone.state === "off") {  // switched off while the browser asked
    for (const track of phone.microphone.getTracks()) track.stop();
    phone.microphone = null;
    return;
  }
  phone.levels.microphone = phoneAnalyser(phone.microphone);
  try {
    phone.account = await api("GET", "/api/sip");
  } catch (error) {
    phoneOff();
    phoneProblem(error.message);
    return;
  }
  if (phone.state === "off") return;  // switched off meanwhile
  phoneSay("starting", "registering station " + phone.account.station + "…");
  const socket = (location.protocol === "https:" ? "wss://" : "ws://") + location.host + phone.account.webSocket;
  phone.ua = new SIP.UA({
    uri: phone.account.uri,
    authorizationUser: phone.account.station,
    password: phone.account.password,
    displayName: (me && me.user) || phone.account.station,
    userAgentString: "Vantrel panel (SIP.js " + SIP.version + ")",
    transportOptions: { wsServers: [socket], maxReconnectionAttempts: 1000, reconnectionTimeout: 4 },
    register: true,
    registerOptions: { expires: 600 },
    noAnswerTimeout: 600,
    log: { builtinEnabled: false },
    sessionDescriptionHandlerFactoryOptions: {
      constraints: { audio: true, video: false },
      // The relay's one candidate is all a call needs: no STUN server is asked.
      peerConnectionOptions: { iceCheckingTimeout: 1000, rtcConfiguration: { iceServers: [] } },
    },
  });
  phone.ua.on("registered", () => phoneSay("registered", "station " + phone.account.station + " registered"));
  phone.ua.on("unregistered", () => {
    if (phone.state !== "off") phoneSay("reconnecting", "station " + phone.account.station + " not registered");
  });
  phone.ua.on("registrationFailed", (response, cause) =>
    phoneSay("reconnecting", "registering failed (" + (cause || "no answer") + ")"));
  phone.ua.on("transportCreated", (transport) => {
    transport.on("disconnected", () => {
      if (phone.state !== "off") phoneSay("reconnecting", "the gateway's phone connection is lost, reconnecting…");
    });
  });
  phone.ua.on("invite", phoneIncoming);
}

function phoneOff() {
  if (phone.ua) {
    const ua = phone.ua;
    phone.ua = null;
    for (const session of phone.sessions) {
      try {
        session.terminate();
      } catch (error) {
        // Already over.
      }
    }
    ua.stop();
  }
  phone.sessions.clear();
  phone.ringing = phone.talking = null;
  if (phone.microphone) for (const track of phone.microphone.getTracks()) track.stop();
  phone.microphone = null;
  phoneDropAnalyser("microphone");
  phoneDropAnalyser("farEnd");
  if (phone.player) phone.player.srcObject = null;
  if (phone.state !== "off") phoneSay("off", "the browser is not your phone");
}

function phoneIncoming(session) {
  phone.sessions.add(session);
  const from = session.remoteIdentity && session.remoteIdentity.uri ? session.remoteIdentity.uri.user : "";
  const ended = () => {
    phone.sessions.delete(session);
    if (phone.ringing === session) phone.ringing = null;
    if (phone.talking === session) {
      phone.talking = null;
      phoneDropAnalyser("farEnd");
      phone.player.srcObject = null;
    }
    if (!phone.ua) return;
    if (phone.talking) phoneSay("talking", "in a call");
    else if (phone.ringing) phoneSay("ringing", "ringing");
    else phoneSay("registered", "station " + phone.account.station + " registered");
  };
  session.on("terminated", ended);
  session.on("SessionDescriptionHandler-created", (handler) => {
    handler.on("userMediaFailed", (error) => phoneProblem(microphoneProblem(error)));
    handler.on("addTrack", () => phoneHear(handler));
  });
  session.on("accepted", () => {
    phone.ringing = null;
    phone.talking = session;
    phoneSay("talking", "in a call with " + (from || "an unknown caller"));
    if (session.sessionDescriptionHandler) phoneHear(session.sessionDescriptionHandler);
  });
  phone.ringing = session;
  phoneSay("ringing", "ringing: " + (from || "an unknown caller"));
  phoneTakesDialled(false);
}

// A call the operator dialled rings the phone first, showing the number dialled (or, translated, the line's
// call waits with dial tone for the phone): it is picked up at once.
function phoneTakesDialled(lineWaitsForPhone) {
  const session = phone.ringing;
  if (!session || !phone.dialled || phone.dialled.until < Date.now()) return;
  const from = session.remoteIdentity && session.remoteIdentity.uri ? session.remoteIdentity.uri.user : "";
  if (from !== phone.dialled.number && !lineWaitsForPhone) return;
  phone.dialled = null;
  phone.ringing = null;
  phoneAccept(session);
}

// The far end's sound: played, and measured.
function phoneHear(handler) {
  const connection = handler.peerConnection;
  if (!connection) return;
  const tracks = connection.getReceivers().map((receiver) => receiver.track).filter((track) => track && track.kind === "audio");
  if (tracks.length === 0) return;
  const stream = new MediaStream(tracks);
  phone.player.srcObject = stream;
  phone.player.play().catch(() => {});
  phoneDropAnalyser("farEnd");
  phone.levels.farEnd = phoneAnalyser(stream);
}

function phoneAccept(session) {
  phoneProblem("");
  session.accept({ sessionDescriptionHandlerOptions: { constraints: { audio: true, video: false } } });
}

// The panel's Answer: true when the phone took the ringing call (the server hears it from the phone). The
// exchange's INVITE may reach the phone a moment after the panel shows the call: it is waited for.
async function phoneAnswers() {
  if (!phone.ua) return false;
  for (let waited = 0; !phone.ringing && phone.ua && waited < 2000; waited += 50)
    await new Promise((resolve) => setTimeout(resolve, 50));
  if (!phone.ua || !phone.ringing) return false;
  const session = phone.ringing;
  phone.ringing = null;
  phoneAccept(session);
  return true;
}

// The panel dialled the number: the exchange rings the phone first, with the number as its caller.
function phoneDials(number) {
  if (phone.ua) phone.dialled = { number: String(number), until: Date.now() + 15000 };
}

function phoneIsOn() {
  return phone.state !== "off";
}
