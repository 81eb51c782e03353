// Camera panels: auto/manual switches of the controls, settings files, the OSP profile and the
// confirmation before flashing firmware. Loaded before app.js, which calls these.
"use strict";

const AUTO_REFRESH_MS = 2000; // how often the values the camera chooses are read again

// The "Auto" switch of a control row; an empty cell for a control without an automatic mode.
function autoSwitch(panel, control, show) {
  const cell = document.createElement("label");
  cell.className = "auto-switch";
  if (!control.auto_mode) return cell;
  const box = document.createElement("input");
  box.type = "checkbox";
  box.className = "auto";
  box.title = "on: the camera chooses the value; off: manual, from the value in use";
  box.addEventListener("change", async () => {
    box.disabled = true;
    try {
      show(await postJson(`/api/cameras/${panel.index}/controls/${control.name}/auto`, { auto: box.checked }));
      // An ISP control's mode is a control of its own, shown in its own row too.
      if (control.mode) showControls(panel, (await api(`/api/cameras/${panel.index}/controls`)).controls);
      showError(panel, "");
    } catch (error) {
      box.checked = !box.checked;
      showError(panel, error.message);
    } finally {
      box.disabled = false;
    }
  });
  cell.append(box, " Auto");
  return cell;
}

// While the camera chooses a value, its input only shows it. A control holding other controls'
// mode (an ISP's exposure mode) that changes sends them to be read again.
function showMode(row, control) {
  if (control.mode) row.dataset.mode = control.mode;
  const last = row.dataset.value;
  row.dataset.value = control.value;
  if (last !== undefined && last !== String(control.value)) refreshModeOf(row, control.name);
  const box = row.querySelector("input.auto");
  if (box) box.checked = control.automatic;
  row.classList.toggle("automatic", Boolean(control.auto_mode && control.automatic));
  const input = row.querySelector(`[name="${control.name}"]`);
  if (input) input.disabled = Boolean(control.auto_mode && control.automatic);
}

// Shows the controls the server answered with in their rows.
function showControls(panel, controls) {
  for (const control of controls) {
    const show = panel.controlRows && panel.controlRows.get(control.name);
    if (show) show(control);
  }
}

async function refreshModeOf(row, mode) {
  const box = row.parentElement;
  const panel = panels.get(Number(row.closest(".panel").dataset.index));
  if (!box || !panel || !box.querySelector(`.control[data-mode="${mode}"]`)) return;
  try {
    const { controls } = await api(`/api/cameras/${panel.index}/controls`);
    showControls(panel, controls.filter((control) => control.mode === mode));
  } catch {
    // the camera's error shows through its state
  }
}

async function refreshAutomatic(panel) {
  const box = panel.element.querySelector(".controls-box");
  if (document.hidden || !box.open || !panel.element.querySelector(".control.automatic")) return;
  try {
    const { controls } = await api(`/api/cameras/${panel.index}/controls`);
    showControls(panel, controls.filter((control) => control.automatic));
  } catch {
    // the camera's error shows through its state
  }
}

function buildSettings(panel) {
  const element = panel.element;
  const base = `/api/cameras/${panel.index}`;
  element.querySelector(".settings-save").href = `${base}/settings`;
  const file = element.querySelector(".settings-file");
  const message = element.querySelector(".settings-message");
  file.addEventListener("change", async () => {
    const chosen = file.files[0];
    if (!chosen) return;
    message.textContent = `Loading ${chosen.name}…`;
    try {
      const text = await chosen.text();
      try {
        JSON.parse(text);
      } catch {
        throw new Error(`${chosen.name} is not a settings file (not JSON)`);
      }
      const result = await api(`${base}/settings`, {
        method: "POST", headers: { "Content-Type": "application/json" }, body: text,
      });
      showControls(panel, result.controls);
      const from = result.source ? ` from ${result.source}` : "";
      const format = result.format ? `; format ${result.format}` : "";
      const skipped = result.skipped.length ? `; skipped: ${result.skipped.join(", ")}` : "";
      message.textContent = `Loaded ${counted(result.applied, "setting")}${from}${format}${skipped}.`;
      if (result.format) showFormat(panel, result.format);
    } catch (error) {
      message.textContent = `Not loaded: ${error.message}`;
    } finally {
      file.value = ""; // the same file can be loaded again
    }
  });
  panel.timers.push(setInterval(() => refreshAutomatic(panel), AUTO_REFRESH_MS));
  buildProfile(panel).catch(() => {});
}

function showFormat(panel, label) {
  const select = panel.element.querySelector(".format");
  const position = panel.detail.formats.findIndex((format) => format.label === label);
  if (position >= 0) select.value = String(position);
}

// The OSP profile, on cameras that have one (the others answer 404 and the box stays hidden).
async function buildProfile(panel) {
  const element = panel.element;
  const base = `/api/cameras/${panel.index}/profile`;
  let state;
  try {
    state = await api(base);
  } catch {
    return;
  }
  const box = element.querySelector(".profile-box");
  const flag = element.querySelector(".profile-flag");
  const config = element.querySelector(".profile-config");
  const message = element.querySelector(".profile-message");
  const show = (answer) => {
    flag.value = answer.flag;
    config.textContent = answer.config;
    const disabled = answer.flag === "disabled";
    for (const button of element.querySelectorAll(".profile-load, .profile-streaming, .profile-image-processing")) {
      button.disabled = disabled;
      button.title = disabled ? "Enable the profile first" : "";
    }
  };
  const run = async (work, done) => {
    message.textContent = "";
    try {
      const answer = await work();
      show(answer);
      message.textContent = done(answer);
    } catch (error) {
      message.textContent = error.message;
      api(base).then(show).catch(() => {});
    }
  };
  show(state);
  box.hidden = false;
  flag.addEventListener("change", () => run(() => postJson(`${base}/flag`, { flag: flag.value }),
    (answer) => `Profile ${answer.flag.replaceAll("_", " ")}.`));
  element.querySelector(".profile-load").addEventListener("click", () => {
    const file = element.querySelector(".profile-file").files[0];
    if (!file) { message.textContent = "Choose a profile file first."; return; }
    run(() => api(base, { method: "POST", headers: { "Content-Type": "text/plain" }, body: file }),
      () => `Loaded ${file.name}; activate its streaming or image processing to use it.`);
  });
  element.querySelector(".profile-streaming").addEventListener("click", () => run(
    () => api(`${base}/streaming`, { method: "POST" }),
    (answer) => { showFormat(panel, answer.format); return `Streaming ${answer.format}.`; }));
  element.querySelector(".profile-image-processing").addEventListener("click", () => run(
    () => api(`${base}/image_processing`, { method: "POST" }),
    (answer) => { showControls(panel, answer.controls); return "The profile's ISP values are set."; }));
}

function sizeText(bytes) {
  return bytes < 1000 ? counted(bytes, "byte") : bytesText(bytes);
}

// Asks before flashing `file` to `target` ("usb", "sensor"); true only for "Flash".
async function confirmFlash(panel, file, target) {
  const dialog = panel.element.querySelector(".flash-confirm");
  if (dialog.open) return false; // asked already
  const labels = { usb: "USB controller", sensor: "sensor" };
  let version = null;
  try {
    version = (await api(`/api/cameras/${panel.index}/firmware`)).versions[target];
  } catch {
    // named as unknown below
  }
  const name = panel.detail ? panel.detail.name : `camera ${panel.index}`;
  dialog.querySelector(".flash-what").textContent =
    `Flash ${file.name} (${sizeText(file.size)}) to the ${labels[target] || target} firmware of ` +
    `camera ${panel.index}, ${name}, now at version ${version || "unknown"}?`;
  return new Promise((resolve) => {
    const finish = (answer) => {
      dialog.querySelector(".flash-go").onclick = null;
      dialog.querySelector(".flash-cancel").onclick = null;
      dialog.oncancel = null;
      if (dialog.open) dialog.close();
      resolve(answer);
    };
    dialog.querySelector(".flash-go").onclick = () => finish(true);
    dialog.querySelector(".flash-cancel").onclick = () => finish(false);
    dialog.oncancel = () => finish(false); // Escape
    dialog.showModal();
  });
}
