// The viewer's page: one panel per camera shown, each fed by its MJPEG stream, its state
// WebSocket and a few JSON endpoints. Plain JavaScript, nothing fetched from elsewhere.
"use strict";

// "1 camera", "3 cameras".
function counted(count, noun) {
  return `${count} ${noun}${count === 1 ? "" : "s"}`;
}

const panels = new Map(); // camera index -> panel state
const playbacks = new Map(); // open recording's number -> its panel

async function api(path, options) {
  const response = await fetch(path, options);
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}

function postJson(path, body) {
  return api(path, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
}

function setStatus(text) { document.getElementById("status").textContent = text; }

// "512 B", "36.9 MB"; with `per` "/s", a rate.
function bytesText(value, per = "") {
  const units = ["B", "kB", "MB", "GB"];
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit += 1; }
  return `${value.toFixed(unit ? 1 : 0)} ${units[unit]}${per}`;
}

function firmwareText(firmware) {
  return Object.entries(firmware || {}).filter(([, v]) => v).map(([k, v]) => `${k} ${v}`).join(", ") || "none";
}

async function loadCameras() {
  const { cameras, shown } = await api("/api/cameras");
  const list = document.getElementById("camera-list");
  list.replaceChildren();
  for (const camera of cameras) {
    const item = document.createElement("li");
    item.dataset.index = camera.index;
    const title = document.createElement("strong");
    title.textContent = `${camera.index}: ${camera.name || "camera"}`;
    const meta = document.createElement("div");
    meta.className = "meta";
    meta.textContent = camera.error
      ? camera.error
      : `${camera.interface} · ${camera.product} · firmware ${firmwareText(camera.firmware)}` +
        (camera.disconnected ? " · disconnected" : "");
    const toggle = document.createElement("button");
    toggle.type = "button";
    toggle.className = "toggle";
    toggle.addEventListener("click", () => (panels.has(camera.index) ? hidePanel(camera.index) : showPanel(camera.index)));
    item.append(title, meta, toggle);
    list.append(item);
  }
  for (const index of shown) if (cameras.some((c) => c.index === index && !c.error)) await showPanel(index);
  refreshList();
  setStatus(counted(cameras.length, "camera"));
}

function refreshList() {
  for (const item of document.querySelectorAll("#camera-list li")) {
    const shown = panels.has(Number(item.dataset.index));
    item.classList.toggle("shown", shown);
    item.querySelector(".toggle").textContent = shown ? "Hide" : "Show";
  }
}

function showError(panel, message) {
  const box = panel.element.querySelector(".error");
  box.hidden = !message;
  box.textContent = message || "";
}

// A new panel from its template, with the picture area every panel shares.
function newPanel(template) {
  const element = document.getElementById(template).content.firstElementChild.cloneNode(true);
  const box = element.querySelector(".picture-box");
  box.replaceWith(document.getElementById("picture-template").content.firstElementChild.cloneNode(true));
  element.querySelector(".live").alt = box.dataset.alt;
  return element;
}

async function showPanel(index) {
  if (panels.has(index)) return;
  const element = newPanel("panel-template");
  element.dataset.index = index;
  document.getElementById("panels").append(element);
  const panel = { index, element, imu: [], timers: [], socket: null, closed: false };
  panels.set(index, panel);
  refreshList();
  element.querySelector(".hide").addEventListener("click", () => hidePanel(index));
  try {
    const detail = await api(`/api/cameras/${index}`);
    panel.detail = detail;
    element.querySelector(".name").textContent = `${index}: ${detail.name}`;
    buildFormats(panel, detail);
    buildFirmware(panel, detail.firmware);
    element.querySelector(".imu-box").hidden = !detail.imu;
    element.querySelector(".snapshot").href = `/api/cameras/${index}/snapshot.png`;
    element.querySelector(".record").addEventListener("click", () => toggleRecording(panel));
    startPicture(panel);
    setupPicture(panel, `/api/cameras/${index}`);
    openEvents(panel);
    await buildControls(panel);
    buildSettings(panel);
    panel.timers.push(setInterval(() => drawHistogram(panel), 1000));
    element.querySelector(".histogram-box").addEventListener("toggle", () => drawHistogram(panel));
  } catch (error) {
    showError(panel, error.message);
  }
}

function hidePanel(index) {
  const panel = panels.get(index);
  if (!panel) return;
  panel.closed = true;
  panels.delete(index);
  panel.timers.forEach(clearInterval);
  // An empty source ends the multipart stream, so the server lets go of its client.
  panel.element.querySelector(".live").src = "";
  if (panel.socket) panel.socket.close();
  panel.element.remove();
  refreshList();
}

function startPicture(panel) {
  const image = panel.element.querySelector(".live");
  panel.stream = streamName();
  image.src = `/api/cameras/${panel.index}/stream.mjpg?client=${panel.stream}&t=${Date.now()}`;
}

function buildFormats(panel, detail) {
  const select = panel.element.querySelector(".format");
  select.replaceChildren();
  detail.formats.forEach((format, position) => {
    const option = document.createElement("option");
    option.value = position;
    option.textContent = format.label;
    const current = detail.stats.format;
    if (current && current.label === format.label) option.selected = true;
    select.append(option);
  });
  select.addEventListener("change", async () => {
    const format = detail.formats[Number(select.value)];
    try {
      await postJson(`/api/cameras/${panel.index}/format`, format);
      showError(panel, "");
    } catch (error) {
      showError(panel, error.message);
    }
  });
}

function controlInput(control) {
  const values = (control.max - control.min) / Math.max(control.step, 1) + 1;
  if (control.min === 0 && control.max === 1) {
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = control.value === 1;
    return { input: box, read: () => (box.checked ? 1 : 0), write: (v) => { box.checked = v === 1; } };
  }
  if (values <= 8) {
    const list = document.createElement("select");
    for (let v = control.min; v <= control.max; v += control.step) {
      const option = document.createElement("option");
      option.value = v;
      option.textContent = v;
      list.append(option);
    }
    list.value = control.value;
    return { input: list, read: () => Number(list.value), write: (v) => { list.value = v; } };
  }
  const slider = document.createElement("input");
  slider.type = "range";
  slider.min = control.min;
  slider.max = control.max;
  slider.step = control.step;
  slider.value = control.value;
  return { input: slider, read: () => Number(slider.value), write: (v) => { slider.value = v; } };
}

async function buildControls(panel) {
  const box = panel.element.querySelector(".controls");
  const { controls } = await api(`/api/cameras/${panel.index}/controls`);
  box.replaceChildren();
  panel.controlRows = new Map(); // name -> shows a value the server answered
  for (const control of controls) {
    const row = document.createElement("div");
    row.className = "control";
    row.dataset.name = control.name;
    const label = document.createElement("label");
    label.textContent = control.name.replace(/^isp_/, "").replaceAll("_", " ");
    const kind = document.createElement("span");
    kind.className = "kind";
    kind.textContent = ` ${control.kind}`;
    label.append(kind);
    const { input, read, write } = controlInput(control);
    input.name = control.name;
    const value = document.createElement("output");
    value.textContent = control.value;
    const reset = document.createElement("button");
    reset.type = "button";
    reset.textContent = "Reset";
    reset.title = `back to the default, ${control.default}`;
    const show = (result) => { write(result.value); value.textContent = result.value; showMode(row, result); };
    let pending = null;
    const send = async () => {
      try {
        show(await postJson(`/api/cameras/${panel.index}/controls/${control.name}`, { value: read() }));
        showError(panel, "");
      } catch (error) {
        showError(panel, error.message);
      }
    };
    input.addEventListener("input", () => {
      value.textContent = read();
      clearTimeout(pending);
      pending = setTimeout(send, 60);
    });
    input.addEventListener("change", () => { clearTimeout(pending); send(); });
    reset.addEventListener("click", async () => {
      try {
        show(await api(`/api/cameras/${panel.index}/controls/${control.name}/reset`, { method: "POST" }));
      } catch (error) {
        showError(panel, error.message);
      }
    });
    row.append(label, input, value, autoSwitch(panel, control, show), reset);
    showMode(row, control);
    panel.controlRows.set(control.name, show);
    box.append(row);
  }
}

function openEvents(panel) {
  if (panel.closed) return;
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const imu = panel.detail && panel.detail.imu ? "&imu=1" : "";
  const socket = new WebSocket(`${scheme}://${location.host}/api/cameras/${panel.index}/events?client=${panel.stream}${imu}`);
  panel.socket = socket;
  socket.onmessage = (message) => showState(panel, JSON.parse(message.data));
  socket.onclose = () => { if (!panel.closed) setTimeout(() => openEvents(panel), 1000); };
}

function showState(panel, state) {
  const { stats, upgrade } = state;
  const element = panel.element;
  showFigures(panel, state);
  element.querySelector(".rate").textContent = bytesText(stats.bytes_per_second, "/s");
  element.querySelector(".clients").textContent = counted(stats.clients, "client");
  showError(panel, stats.error ? `Camera error: ${stats.error}` : "");
  // Unplugged: the last picture stays, dimmed, until the camera is back.
  element.classList.toggle("disconnected", Boolean(stats.disconnected));
  element.querySelector(".unplugged").hidden = !stats.disconnected;
  if (upgrade.state === "running") {
    element.querySelector(".firmware-progress").value = upgrade.percent;
    element.querySelector(".firmware-message").textContent = `Upgrading ${upgrade.target} firmware: ${upgrade.percent}%`;
  }
  showRecording(panel, state.recording);
  followRecording(panel, state.recording);
  showFrameMeta(panel, state.frame);
  if (state.imu) showImu(panel, state.imu); // charts.js
  // A sample that could not be had says why; the next one that comes clears it.
  if (state.imu || state.imu_error !== undefined) {
    const message = element.querySelector(".imu-message");
    message.textContent = state.imu_error ? `No IMU reading: ${state.imu_error}` : "";
    message.hidden = !state.imu_error;
  }
}

async function drawHistogram(panel) {
  if (document.hidden || !panel.element.querySelector(".histogram-box").open) return;
  let counts;
  try {
    ({ counts } = await api(`/api/cameras/${panel.index}/histogram`));
  } catch {
    return; // the camera's error shows through its state
  }
  drawHistogramChart(panel.element.querySelector(".histogram"), counts); // charts.js
}

function buildFirmware(panel, firmware) {
  const element = panel.element;
  const versions = element.querySelector(".versions");
  versions.replaceChildren();
  const labels = { usb: "USB controller", zena: "ZenA", sensor: "Sensor" };
  for (const [key, version] of Object.entries(firmware)) {
    const term = document.createElement("dt");
    term.textContent = labels[key] || key;
    const value = document.createElement("dd");
    value.textContent = version || "–";
    versions.append(term, value);
  }
  const target = element.querySelector(".firmware-target");
  const chosen = target.value;
  target.replaceChildren();
  for (const key of ["usb", "sensor"]) {
    if (!firmware[key]) continue;
    const option = document.createElement("option");
    option.value = key;
    option.textContent = `${labels[key]} firmware`;
    target.append(option);
  }
  if ([...target.options].some((option) => option.value === chosen)) target.value = chosen;
  const button = element.querySelector(".firmware-upgrade");
  button.disabled = !target.options.length;
  if (button.dataset.wired) return;
  button.dataset.wired = "1";
  button.addEventListener("click", async () => {
    const file = element.querySelector(".firmware-file").files[0];
    const message = element.querySelector(".firmware-message");
    if (!file) { message.textContent = "Choose a firmware image first."; return; }
    if (!(await confirmFlash(panel, file, target.value))) return;
    button.disabled = true;
    element.querySelector(".firmware-progress").value = 0;
    message.textContent = `Uploading ${file.name}…`;
    try {
      const result = await api(`/api/cameras/${panel.index}/firmware/${target.value}`, {
        method: "POST", headers: { "Content-Type": "application/octet-stream" }, body: file,
      });
      element.querySelector(".firmware-progress").value = 100;
      message.textContent = result.upgrade.message;
      buildFirmware(panel, result.versions);
      loadCameras().catch(() => {});
    } catch (error) {
      message.textContent = `Upgrade failed: ${error.message}`;
    } finally {
      button.disabled = !target.options.length;
    }
  });
}

// Recording and playback

function showRecording(panel, recording) {
  const element = panel.element;
  const button = element.querySelector(".record");
  panel.recording = recording;
  button.classList.toggle("on", Boolean(recording));
  button.textContent = recording ? "Stop recording" : "Record";
  if (recording) {
    const problem = recording.error ? ` · ${recording.error}` : "";
    element.querySelector(".record-state").textContent =
      `● ${recording.frames} frames · ${recording.dropped} dropped · ${recording.seconds} s${problem}`;
    element.querySelector(".record-download").hidden = true;
  }
}

async function toggleRecording(panel) {
  const element = panel.element;
  const button = element.querySelector(".record");
  button.disabled = true;
  try {
    if (panel.recording) {
      const summary = await api(`/api/cameras/${panel.index}/recording/stop`, { method: "POST" });
      showRecording(panel, null);
      const problem = summary.error ? ` · ${summary.error}` : "";
      element.querySelector(".record-state").textContent =
        `${summary.name}: ${summary.frames} frames, ${summary.dropped} dropped${problem}`;
      const link = element.querySelector(".record-download");
      link.href = `/api/recordings/${encodeURIComponent(summary.name)}`;
      link.hidden = false;
    } else {
      showRecording(panel, await api(`/api/cameras/${panel.index}/recording`, { method: "POST" }));
    }
    showError(panel, "");
    await loadRecordings();
  } catch (error) {
    showError(panel, error.message);
  } finally {
    button.disabled = false;
  }
}

async function loadRecordings() {
  const { recordings, open, folder } = await api("/api/recordings");
  const list = document.getElementById("recording-list");
  list.replaceChildren();
  if (!recordings.length) {
    const empty = document.createElement("li");
    empty.className = "empty";
    empty.textContent = `No recordings yet in ${folder}`;
    list.append(empty);
  }
  for (const recording of recordings) {
    const item = document.createElement("li");
    item.dataset.name = recording.name;
    const name = document.createElement("span");
    name.className = "recording-label";
    name.textContent = recordingLabel(recording);
    item.append(name);
    if (recording.damaged) {
      const damage = document.createElement("span");
      damage.className = "damaged";
      damage.textContent = ` · damaged: ${recording.damaged}`;
      item.append(damage);
    }
    if (!recording.recording) {
      const link = document.createElement("a");
      link.href = recording.url;
      link.download = recording.name;
      link.textContent = "Download";
      item.append(link);
    }
    if (!recording.recording && !recording.damaged) {
      // A recording of several cameras gets a button per camera.
      const cameras = recording.cameras > 1 ? [...Array(recording.cameras).keys()] : [0];
      for (const camera of cameras) {
        const play = document.createElement("button");
        play.type = "button";
        play.textContent = cameras.length > 1 ? `Play camera ${camera}` : "Play";
        play.addEventListener("click", async () => {
          try {
            showPlayback(await postJson(`${recording.url}/play`, { camera }));
          } catch (error) {
            setStatus(error.message);
          }
        });
        item.append(play);
      }
    }
    list.append(item);
  }
  for (const info of open) showPlayback(info);
}

function showPlayback(info) {
  if (playbacks.has(info.index)) return;
  const element = newPanel("playback-template");
  document.getElementById("panels").append(element);
  const panel = { index: info.index, element, timers: [] };
  playbacks.set(info.index, panel);
  const which = info.cameras > 1 ? `, camera ${info.recorded_camera} of ${info.cameras}` : "";
  element.querySelector(".name").textContent = `Recording: ${info.name}${which}`;
  element.querySelector(".hide").addEventListener("click", () => {
    panel.timers.forEach(clearInterval);
    element.querySelector(".live").src = "";
    element.remove();
    playbacks.delete(info.index);
  });
  element.querySelector(".live").src = `/api/playbacks/${info.index}/stream.mjpg?t=${Date.now()}`;
  setupPicture(panel, `/api/playbacks/${info.index}`);
  const seek = element.querySelector(".seek");
  seek.max = String(Math.max(0, info.frames - 1));
  // While the slider is held, the page's own updates leave it alone.
  seek.addEventListener("pointerdown", () => { panel.seeking = true; });
  seek.addEventListener("change", () => {
    panel.seeking = false;
    controlPlayback(panel, "seek", { frame: Number(seek.value) });
  });
  element.querySelector(".play-pause").addEventListener("click",
    () => controlPlayback(panel, panel.paused ? "resume" : "pause"));
  element.querySelector(".step").addEventListener("click", () => controlPlayback(panel, "step"));
  panel.timers.push(setInterval(async () => {
    try {
      showPlaybackState(panel, await api(`/api/playbacks/${info.index}`));
    } catch (error) {
      showError(panel, error.message);
    }
  }, 500));
}

async function controlPlayback(panel, action, body) {
  const path = `/api/playbacks/${panel.index}/${action}`;
  try {
    showPlaybackState(panel, await (body ? postJson(path, body) : api(path, { method: "POST" })));
  } catch (error) {
    showError(panel, error.message);
  }
}

function showPlaybackState(panel, state) {
  const element = panel.element;
  const frame = state.frame;
  panel.paused = state.paused;
  element.querySelector(".play-pause").textContent = state.paused ? "Play" : "Pause";
  showError(panel, state.error ? `Playback error: ${state.error}` : "");
  if (!frame) return;
  showPlaybackMeta(panel, frame);
  if (!panel.seeking) element.querySelector(".seek").value = String(frame.position);
  const time = new Date(frame.unix_ns / 1e6).toISOString().replace("T", " ").replace("Z", "");
  const sequence = frame.sequence === null ? "" : ` · #${frame.sequence}`;
  element.querySelector(".frame-meta").textContent =
    `frame ${frame.position + 1}/${frame.of} · ${frame.seconds.toFixed(3)} s${sequence} · ${frame.format.label} · ` +
    `${frame.bytes} bytes · ${time} · loop ${state.loops + 1}${state.paused ? " · paused" : ""}`;
}

loadCameras().catch((error) => setStatus(`Cannot list the cameras: ${error.message}`));
loadRecordings().catch((error) => setStatus(`Cannot list the recordings: ${error.message}`));
