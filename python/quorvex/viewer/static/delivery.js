// What this page receives, beside what the camera gives: the panel's rates and losses over the
// server's window, and the sizes of recordings in progress as the state WebSocket reports them.
// Plain functions that app.js calls.
"use strict";

// A name for one stream of this page, so that its state WebSocket can ask what that stream
// delivers. Random and per stream: it pairs the two and means nothing else.
function streamName() {
  const bytes = crypto.getRandomValues(new Uint8Array(12));
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function showFigures(panel, state) {
  const { stats, client } = state;
  const element = panel.element;
  const over = stats.window ? ` over the last ${stats.window} s` : "";
  const fps = element.querySelector(".fps");
  const dropped = element.querySelector(".dropped");
  if (client) {
    fps.textContent = `${client.fps.toFixed(1)} fps (camera ${stats.fps.toFixed(1)})`;
    fps.title = `pictures this page received per second${over}; the camera's rate in brackets`;
    dropped.textContent = `${stats.dropped_recent} dropped · ${client.skipped_recent} skipped`;
    dropped.title = `${over.trim()}: frames the camera lost, and pictures passed over for this page ` +
      `to keep up (${stats.dropped} dropped since the camera was opened)`;
  } else {
    fps.textContent = `${stats.fps.toFixed(1)} fps`;
    fps.title = `the camera's frames per second${over}`;
    dropped.textContent = `${stats.dropped_recent ?? stats.dropped} dropped`;
    dropped.title = `frames the camera lost${over}`;
  }
}

function recordingLabel(recording) {
  return `${recording.name} (${(recording.bytes / 1e6).toFixed(1)} MB)${recording.recording ? " · recording" : ""}`;
}

let listing = null; // the recordings list being loaded anew, if it is

function reloadRecordings() {
  if (!listing) listing = loadRecordings().catch(() => {}).finally(() => { listing = null; });
}

// Keeps the recordings list's entry of the panel's recording current while it records; a
// recording this page has not listed yet (started elsewhere), or one that ended, reloads it.
function followRecording(panel, recording) {
  const previous = panel.followed;
  panel.followed = recording ? recording.name : null;
  if (!recording) {
    if (previous) reloadRecordings();
    return;
  }
  const item = [...document.querySelectorAll("#recording-list li")].find((li) => li.dataset.name === recording.name);
  const label = item && item.querySelector(".recording-label");
  if (!label) { reloadRecordings(); return; }
  label.textContent = recordingLabel({ name: recording.name, bytes: recording.bytes, recording: true });
}
