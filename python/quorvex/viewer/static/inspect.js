// A panel's picture area: zoom and pan, fullscreen, an overlay of the frame's metadata, and a
// pixel inspector that reads a snapshot of the frame's own bytes (frame.raw), not the JPEG shown.
// app.js calls setupPicture when it builds a panel and showFrameMeta with each state it gets.
"use strict";

const ZOOM_LEVELS = [1, 2, 4, 8, 16]; // frame pixels per CSS pixel; 0 is "fit"

// libyuv's BT.601 limited-range YUV to RGB in its own integer arithmetic, as quorvex.to_rgb
// converts: the inspector's RGB is the package's, to the unit.
const YUV = { yg: 18997, yb: -1160, ub: 128, ug: 25, vg: 52, vr: 102 };

function clampByte(value) {
  return value < 0 ? 0 : value > 255 ? 255 : value;
}

function yuvToRgb(y, u, v) {
  const luma = Math.floor((y * 257 * YUV.yg) / 65536) + YUV.yb;
  return [
    clampByte((luma + YUV.vr * (v - 128)) >> 6),
    clampByte((luma - YUV.ug * (u - 128) - YUV.vg * (v - 128)) >> 6),
    clampByte((luma + YUV.ub * (u - 128)) >> 6),
  ];
}

function expand(value, bits) {
  return (value << (8 - bits)) | (value >> (2 * bits - 8));
}

// The pixel at (x, y) of a snapshot: its bytes as the format holds them, and as RGB.
function pixelValue(snapshot, x, y) {
  const { format, width, height, bytes } = snapshot;
  const at = y * width + x;
  if (format === "YUY2" || format === "UYVY") {
    const pair = (at - (x & 1)) * 2;
    const [u, v, luma] = format === "YUY2"
      ? [bytes[pair + 1], bytes[pair + 3], bytes[pair + (x & 1) * 2]]
      : [bytes[pair], bytes[pair + 2], bytes[pair + 1 + (x & 1) * 2]];
    return { own: `Y ${luma} U ${u} V ${v} (pair)`, rgb: yuvToRgb(luma, u, v) };
  }
  if (format === "NV12") {
    const chroma = width * height + (y >> 1) * width + (x & ~1);
    const [luma, u, v] = [bytes[at], bytes[chroma], bytes[chroma + 1]];
    return { own: `Y ${luma} U ${u} V ${v} (2×2 block)`, rgb: yuvToRgb(luma, u, v) };
  }
  if (format === "BGRA" || format === "BGRX") {
    const [b, g, r, a] = bytes.subarray(at * 4, at * 4 + 4);
    return { own: `B ${b} G ${g} R ${r} ${format[3]} ${a}`, rgb: [r, g, b] };
  }
  if (format === "BGR" || format === "RGB") {
    const [first, g, last] = bytes.subarray(at * 3, at * 3 + 3);
    const rgb = format === "RGB" ? [first, g, last] : [last, g, first];
    return { own: `${format[0]} ${first} G ${g} ${format[2]} ${last}`, rgb };
  }
  if (format === "RGB16") {
    const word = bytes[at * 2] | (bytes[at * 2 + 1] << 8);
    const [r, g, b] = [word >> 11, (word >> 5) & 63, word & 31];
    return { own: `0x${word.toString(16).padStart(4, "0")} (R ${r} G ${g} B ${b})`,
             rgb: [expand(r, 5), expand(g, 6), expand(b, 5)] };
  }
  if (snapshot.decoded) { // MJPG, decoded by the browser
    const [r, g, b] = snapshot.decoded.subarray(at * 4, at * 4 + 3);
    return { own: "JPEG, as the browser decodes it", rgb: [r, g, b] };
  }
  return { own: `no reading of ${format}`, rgb: null };
}

async function decodeJpeg(bytes, width, height) {
  const bitmap = await createImageBitmap(new Blob([bytes], { type: "image/jpeg" }),
    { colorSpaceConversion: "none", premultiplyAlpha: "none" });
  const canvas = document.createElement("canvas");
  canvas.width = width;
  canvas.height = height;
  const context = canvas.getContext("2d", { willReadFrequently: true });
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  return context.getImageData(0, 0, width, height).data;
}

async function takeSnapshot(view) {
  const response = await fetch(`${view.base}/frame.raw`, { cache: "no-store" });
  if (!response.ok) {
    const body = await response.json().catch(() => ({}));
    throw new Error(body.error || `${response.status} ${response.statusText}`);
  }
  const header = (name) => response.headers.get(name);
  const snapshot = {
    format: header("X-Pixel-Format"), width: Number(header("X-Width")), height: Number(header("X-Height")),
    // A recording's frame goes by its place in the recording, as its overlay shows it.
    index: Number(header("X-Position") ?? header("X-Frame-Index")), bytes: new Uint8Array(await response.arrayBuffer()),
  };
  if (snapshot.format === "MJPG") snapshot.decoded = await decodeJpeg(snapshot.bytes, snapshot.width, snapshot.height);
  return snapshot;
}

// Where the frame's pixels are drawn on screen: the image's box, less the bands object-fit
// leaves around the picture in fullscreen.
function pictureRect(image) {
  const box = image.getBoundingClientRect();
  const scale = Math.min(box.width / image.naturalWidth, box.height / image.naturalHeight);
  const width = image.naturalWidth * scale, height = image.naturalHeight * scale;
  return { left: box.left + (box.width - width) / 2, top: box.top + (box.height - height) / 2, width, height };
}

// The frame pixel under a point of the window, in `size`'s pixels; null outside the picture.
function framePoint(image, clientX, clientY, size) {
  if (!image.naturalWidth) return null;
  const rect = pictureRect(image);
  const x = Math.floor(((clientX - rect.left) / rect.width) * size.width);
  const y = Math.floor(((clientY - rect.top) / rect.height) * size.height);
  return x >= 0 && y >= 0 && x < size.width && y < size.height ? { x, y } : null;
}

function setupPicture(panel, base) {
  const element = panel.element;
  const box = element.querySelector(".picture-box");
  const frame = element.querySelector(".picture");
  const image = element.querySelector(".live");
  const readout = element.querySelector(".pixel-readout");
  const inspect = element.querySelector(".inspect");
  const refresh = element.querySelector(".inspect-refresh");
  const zoomSelect = element.querySelector(".zoom");
  const stage = element.querySelector(".picture-stage");
  const marker = element.querySelector(".pixel-marker");
  const view = { base, zoom: 0, snapshot: null, inspecting: false, frozen: null, pointer: null, fetching: null };
  panel.view = view;

  const natural = () => ({ width: image.naturalWidth, height: image.naturalHeight });
  const fullscreen = () => document.fullscreenElement === box;

  function applyZoom(level, anchor) {
    const before = anchor && framePoint(image, anchor.x, anchor.y, natural());
    view.zoom = level;
    zoomSelect.value = String(level);
    frame.classList.toggle("zoomed", level > 0);
    if (level > 0 && image.naturalWidth) {
      frame.style.aspectRatio = `${image.naturalWidth} / ${image.naturalHeight}`;
      image.style.width = `${image.naturalWidth * level}px`;
      image.style.height = `${image.naturalHeight * level}px`;
    } else {
      frame.style.aspectRatio = image.style.width = image.style.height = "";
    }
    if (before) {
      // The frame pixel that was under the anchor stays under it.
      const rect = pictureRect(image);
      frame.scrollLeft += rect.left + ((before.x + 0.5) / image.naturalWidth) * rect.width - anchor.x;
      frame.scrollTop += rect.top + ((before.y + 0.5) / image.naturalHeight) * rect.height - anchor.y;
    }
    placeMarker();
  }

  // The scale Fit gives: the one shown at Fit; zoomed, the area's width and the height style.css
  // caps it at (none in fullscreen: the area's own).
  function fitScale() {
    if (!view.zoom) return pictureRect(image).width / image.naturalWidth;
    const cap = parseFloat(getComputedStyle(frame).maxHeight);
    const height = Number.isNaN(cap) ? frame.clientHeight : cap;
    return Math.min(frame.clientWidth / image.naturalWidth, height / image.naturalHeight);
  }

  // The next level up or down by the scale it shows, Fit among them where its scale falls.
  function stepZoom(direction, anchor) {
    if (!image.naturalWidth) return;
    const shown = pictureRect(image).width / image.naturalWidth; // the scale now, whatever the level
    const levels = [[0, fitScale()], ...ZOOM_LEVELS.map((level) => [level, level])].sort((a, b) => a[1] - b[1]);
    const next = direction > 0 ? levels.find(([, scale]) => scale > shown * 1.01)
      : levels.reverse().find(([, scale]) => scale < shown * 0.99);
    if (next) applyZoom(next[0], anchor);
  }

  zoomSelect.addEventListener("change", () => applyZoom(Number(zoomSelect.value), centre()));
  const centre = () => {
    const rect = frame.getBoundingClientRect();
    return { x: rect.left + rect.width / 2, y: rect.top + rect.height / 2 };
  };
  element.querySelector(".zoom-in").addEventListener("click", () => stepZoom(1, centre()));
  element.querySelector(".zoom-out").addEventListener("click", () => stepZoom(-1, centre()));
  // The wheel zooms with Ctrl held, or any time in fullscreen, where there is no page to scroll.
  frame.addEventListener("wheel", (event) => {
    if (!event.ctrlKey && !fullscreen()) return;
    event.preventDefault();
    stepZoom(event.deltaY < 0 ? 1 : -1, { x: event.clientX, y: event.clientY });
  }, { passive: false });
  // A new format changes the picture's size: the zoom follows it.
  image.addEventListener("load", () => {
    if (view.zoom && image.style.width !== `${image.naturalWidth * view.zoom}px`) applyZoom(view.zoom);
  });

  // Dragging pans a zoomed picture; a click that did not drag freezes the readout.
  let drag = null;
  frame.addEventListener("pointerdown", (event) => {
    if (event.button !== 0) return;
    drag = { x: event.clientX, y: event.clientY, left: frame.scrollLeft, top: frame.scrollTop, moved: false };
  });
  frame.addEventListener("pointermove", (event) => {
    if (drag && (event.buttons & 1)) {
      const dx = event.clientX - drag.x, dy = event.clientY - drag.y;
      if (Math.abs(dx) + Math.abs(dy) > 4) drag.moved = true;
      if (drag.moved && view.zoom) {
        frame.scrollLeft = drag.left - dx;
        frame.scrollTop = drag.top - dy;
        event.preventDefault();
      }
    }
    view.pointer = { x: event.clientX, y: event.clientY };
    if (view.inspecting && !view.frozen) showPixel();
  });
  frame.addEventListener("pointerleave", () => { view.pointer = null; if (!view.frozen) showPixel(); });
  frame.addEventListener("click", (event) => {
    const dragged = drag && drag.moved;
    drag = null;
    if (!view.inspecting || dragged) return;
    // Frozen on a frame pixel, which stays the one read as the picture is zoomed or panned.
    view.frozen = view.frozen || !view.snapshot ? null : framePoint(image, event.clientX, event.clientY, view.snapshot);
    view.pointer = { x: event.clientX, y: event.clientY };
    if (view.frozen) frame.focus({ preventScroll: true });
    showPixel();
  });
  image.draggable = false;
  // The arrow keys move a frozen reading by a pixel, by ten with Shift.
  frame.tabIndex = 0;
  frame.addEventListener("keydown", (event) => {
    const steps = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] }[event.key];
    if (!steps || !view.frozen || !view.snapshot) return;
    event.preventDefault();
    const by = event.shiftKey ? 10 : 1;
    const { width, height } = view.snapshot;
    view.frozen = {
      x: Math.min(width - 1, Math.max(0, view.frozen.x + steps[0] * by)),
      y: Math.min(height - 1, Math.max(0, view.frozen.y + steps[1] * by)),
    };
    showPixel();
  });
  frame.addEventListener("scroll", () => placeMarker());
  new ResizeObserver(() => placeMarker()).observe(frame);

  // Over the frozen pixel, where it is in view.
  function placeMarker() {
    const point = view.inspecting && view.frozen;
    const snapshot = view.snapshot;
    if (!point || !snapshot || !image.naturalWidth) {
      marker.hidden = true;
      return;
    }
    const rect = pictureRect(image), within = stage.getBoundingClientRect(), seen = frame.getBoundingClientRect();
    const width = rect.width / snapshot.width, height = rect.height / snapshot.height;
    const size = Math.max(width, 9), sizeY = Math.max(height, 9);
    const left = rect.left + (point.x + 0.5) * width - size / 2, top = rect.top + (point.y + 0.5) * height - sizeY / 2;
    marker.hidden = left + size < seen.left || left > seen.right || top + sizeY < seen.top || top > seen.bottom;
    Object.assign(marker.style, {
      left: `${left - within.left}px`, top: `${top - within.top}px`, width: `${size}px`, height: `${sizeY}px`,
    });
  }

  function showPixel() {
    const snapshot = view.snapshot;
    // A snapshot of a smaller format lets go of a pixel it does not have.
    if (view.frozen && snapshot && (view.frozen.x >= snapshot.width || view.frozen.y >= snapshot.height)) view.frozen = null;
    readout.hidden = !view.inspecting;
    placeMarker();
    if (!view.inspecting) return;
    if (!snapshot) {
      readout.textContent = view.fetching ? "Taking a snapshot of the frame…" : readout.textContent;
      return;
    }
    const where = view.pointer;
    const point = view.frozen || (where && framePoint(image, where.x, where.y, snapshot));
    const about = `snapshot of frame ${snapshot.index}, ${snapshot.format} ${snapshot.width}×${snapshot.height}`;
    if (!point) {
      readout.textContent = `Point at the picture (${about}); a click freezes the reading.`;
      return;
    }
    const { own, rgb } = pixelValue(snapshot, point.x, point.y);
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    if (rgb) swatch.style.background = `rgb(${rgb.join(",")})`;
    readout.replaceChildren(swatch, `x ${point.x} y ${point.y} · ${snapshot.format} ${own} · ` +
      `RGB ${rgb ? rgb.join(" ") : "–"} · ${about}${view.frozen ? " · frozen (arrow keys move it; click to follow the pointer)" : ""}`);
    readout.dataset.x = point.x;
    readout.dataset.y = point.y;
    readout.dataset.rgb = rgb ? rgb.join(",") : "";
  }

  view.refresh = async () => {
    if (view.fetching) return view.fetching;
    view.fetching = takeSnapshot(view).then((snapshot) => { view.snapshot = snapshot; })
      .catch((error) => { view.snapshot = null; readout.textContent = `No snapshot: ${error.message}`; })
      .finally(() => { view.fetching = null; showPixel(); });
    showPixel();
    return view.fetching;
  };
  inspect.addEventListener("click", () => {
    view.inspecting = !view.inspecting;
    view.frozen = null;
    inspect.setAttribute("aria-pressed", String(view.inspecting));
    inspect.classList.toggle("on", view.inspecting);
    frame.classList.toggle("inspecting", view.inspecting);
    refresh.hidden = !view.inspecting;
    if (view.inspecting) view.refresh(); else showPixel();
  });
  refresh.addEventListener("click", () => view.refresh());

  const overlay = element.querySelector(".frame-overlay");
  const info = element.querySelector(".overlay-toggle");
  info.addEventListener("click", () => {
    overlay.hidden = !overlay.hidden;
    info.setAttribute("aria-pressed", String(!overlay.hidden));
    info.classList.toggle("on", !overlay.hidden);
  });

  const full = element.querySelector(".fullscreen");
  full.addEventListener("click", () => {
    if (fullscreen()) {
      document.exitFullscreen();
      return;
    }
    box.requestFullscreen().catch((error) => {
      readout.hidden = false;
      readout.textContent = `No fullscreen: ${error.message}`;
    });
  });
  // Fired at the box itself, entering and leaving: nothing is left on the document when the
  // panel goes.
  box.addEventListener("fullscreenchange", () => {
    full.textContent = fullscreen() ? "Exit fullscreen" : "Fullscreen";
    if (view.zoom) applyZoom(view.zoom, centre());
  });
}

// Browsers leave fullscreen on Escape themselves; this serves where the key reaches the page.
document.addEventListener("keydown", (event) => {
  const shown = document.fullscreenElement;
  if (event.key === "Escape" && shown && shown.classList.contains("picture-box")) document.exitFullscreen();
});

function seconds(value, digits) {
  return value === null || value === undefined ? "–" : `${value.toFixed(digits)} s`;
}

// The latest frame's description, from the events WebSocket (a camera) or the playback's state.
function showFrameMeta(panel, meta) {
  const view = panel.view;
  if (!view || !meta) return;
  const host = meta.host_time ? new Date(meta.host_time * 1000).toISOString().replace("T", " ").replace("Z", "") : "–";
  panel.element.querySelector(".frame-overlay").textContent =
    `frame ${meta.index}${meta.sequence === null || meta.sequence === undefined ? "" : ` · sequence ${meta.sequence}`}\n` +
    `device ${seconds(meta.device_timestamp, 6)} · host ${host}\n` +
    `${meta.width}×${meta.height} ${meta.pixel_format} · ${meta.bytes} bytes`;
  // A snapshot of a format no longer shown is taken again.
  const snapshot = view.snapshot;
  if (view.inspecting && snapshot && !view.fetching && (snapshot.format !== meta.pixel_format
      || snapshot.width !== meta.width || snapshot.height !== meta.height)) view.refresh();
}

function showPlaybackMeta(panel, frame) {
  if (!frame) return;
  showFrameMeta(panel, {
    index: frame.position, sequence: frame.sequence, device_timestamp: frame.device_timestamp,
    host_time: frame.unix_ns / 1e9, pixel_format: frame.format.pixel_format, width: frame.format.width,
    height: frame.format.height, bytes: frame.bytes,
  });
}
