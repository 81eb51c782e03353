// The panel's charts (luma histogram, IMU acceleration and angular rate) and the IMU's
// orientation view. Every canvas is drawn at the device's pixel ratio: its backing store is its
// CSS size times devicePixelRatio, drawing happens in CSS pixels, and a resize or a change of
// the ratio (zoom, another screen) redraws it from its last data. Plain script, loaded before app.js.
"use strict";

const CHART_TEXT = "#9aa4ae";
const CHART_GRID = "#2c333b";
const XYZ_COLOURS = ["#ff6b6b", "#6bdb6b", "#6bb0ff"];
const IMU_WINDOW = 30; // seconds of IMU samples the charts show
const GRAVITY = 9.80665;

const chartDrawings = new Map(); // canvas -> the function that draws its last data
const chartSizes = new ResizeObserver((entries) => entries.forEach((entry) => redrawChart(entry.target)));

function redrawChart(canvas) {
  if (!canvas.isConnected) {
    chartDrawings.delete(canvas);
    chartSizes.unobserve(canvas);
    return;
  }
  const drawing = chartDrawings.get(canvas);
  if (drawing) paintChart(canvas, drawing);
}

// Matches the current ratio only, so it fires once when the ratio changes; then watches the new one.
function watchPixelRatio() {
  matchMedia(`(resolution: ${window.devicePixelRatio}dppx)`).addEventListener("change", () => {
    [...chartDrawings.keys()].forEach(redrawChart);
    watchPixelRatio();
  }, { once: true });
}
watchPixelRatio();

// Draws `drawing(context, width, height, font)` in CSS pixels, `font` the labels' size (a little
// under the page's text, so it grows with it on a large screen), now and again whenever the canvas's size
// or the pixel ratio changes. A canvas not shown (closed details) is drawn once it is.
function chart(canvas, drawing) {
  if (!chartDrawings.has(canvas)) chartSizes.observe(canvas);
  chartDrawings.set(canvas, drawing);
  paintChart(canvas, drawing);
}

function paintChart(canvas, drawing) {
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (!width || !height) return;
  const ratio = window.devicePixelRatio || 1;
  const pixelsWide = Math.round(width * ratio), pixelsHigh = Math.round(height * ratio);
  if (canvas.width !== pixelsWide) canvas.width = pixelsWide;
  if (canvas.height !== pixelsHigh) canvas.height = pixelsHigh;
  const context = canvas.getContext("2d");
  context.setTransform(pixelsWide / width, 0, 0, pixelsHigh / height, 0, 0);
  context.clearRect(0, 0, width, height);
  const font = Math.round(parseFloat(getComputedStyle(canvas).fontSize) * 0.86);
  context.font = `${font}px system-ui, sans-serif`;
  context.lineWidth = 1;
  drawing(context, width, height, font);
}

// Round steps (1, 2, 5 times a power of ten), about `count` of them over low..high; with `widen`
// the range grows to whole steps, so that both ends carry a tick.
function niceTicks(low, high, count, widen = false) {
  const rough = (high - low) / count;
  const power = 10 ** Math.floor(Math.log10(rough));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough);
  if (widen) {
    low = Math.floor(low / step + 1e-6) * step;
    high = Math.ceil(high / step - 1e-6) * step;
  }
  const ticks = [];
  for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-6; v += step) ticks.push(v);
  const digits = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
  const labelled = ticks.map((value) => ({ value, text: (Math.abs(value) < step / 2 ? 0 : value).toFixed(digits) }));
  return Object.assign(labelled, { low, high });
}

function countText(count) {
  if (count >= 1e6) return `${+(count / 1e6).toPrecision(2)}M`;
  if (count >= 1e3) return `${+(count / 1e3).toPrecision(2)}k`;
  return String(Math.round(count));
}

// The plot area's frame: y ticks with labels on the left, x ticks below; above, the y unit on the
// left and the legend (or the x axis' name) on the right. Returns the area and its mappings from
// data to CSS pixels.
function chartFrame(context, width, height, font, { xTicks, yTicks, xRange, yRange, yUnit, xName, legend }) {
  const labelWidth = Math.max(...yTicks.map((tick) => context.measureText(tick.text).width), 10);
  const area = { left: Math.ceil(labelWidth) + 8, right: width - 8, top: Math.round(font * 1.7) + 4, bottom: height - font - 7 };
  const x = (v) => area.left + ((v - xRange[0]) / (xRange[1] - xRange[0])) * (area.right - area.left);
  const y = (v) => area.bottom - ((v - yRange[0]) / (yRange[1] - yRange[0])) * (area.bottom - area.top);
  context.strokeStyle = CHART_GRID;
  context.fillStyle = CHART_TEXT;
  context.textBaseline = "middle";
  context.textAlign = "right";
  for (const tick of yTicks) {
    const at = Math.round(y(tick.value)) + 0.5;
    context.beginPath();
    context.moveTo(area.left, at);
    context.lineTo(area.right, at);
    context.stroke();
    context.fillText(tick.text, area.left - 4, at);
  }
  context.textBaseline = "top";
  xTicks.forEach((tick, i) => {
    const at = Math.round(x(tick.value)) + 0.5;
    context.beginPath();
    context.moveTo(at, area.bottom);
    context.lineTo(at, area.bottom + 4);
    context.stroke();
    // The end labels stay inside the canvas.
    context.textAlign = i === 0 && at - area.left < 12 ? "left" : at > area.right - 12 ? "right" : "center";
    context.fillText(tick.text, at, area.bottom + 4);
  });
  context.strokeStyle = CHART_TEXT;
  context.beginPath();
  context.moveTo(area.left + 0.5, area.top);
  context.lineTo(area.left + 0.5, area.bottom + 0.5);
  context.lineTo(area.right, area.bottom + 0.5);
  context.stroke();
  context.textBaseline = "alphabetic";
  context.textAlign = "left";
  const base = font + 1;
  context.fillText(yUnit, 2, base);
  context.textAlign = "right";
  if (xName) context.fillText(xName, width - 4, base);
  let at = width - 4;
  [...(legend || [])].reverse().forEach((name, i) => {
    context.fillStyle = XYZ_COLOURS[legend.length - 1 - i];
    context.fillText(name, at, base);
    at -= context.measureText(name).width + 3;
    context.fillRect(at - font * 0.8, base - font * 0.4, font * 0.8, 3);
    at -= font * 0.8 + 10;
  });
  return { area, x, y };
}

// The histogram of the frame's 256 luma levels; bar heights on a square-root scale, so that the
// few tall bars of a test pattern do not flatten the rest.
function drawHistogramChart(canvas, counts) {
  chart(canvas, (context, width, height, font) => {
    const top = Math.sqrt(Math.max(...counts)) || 1;
    // Ticks at a quarter, half, ... of the height, labelled with the (rounded) count there.
    const yTicks = [0, 0.25, 0.5, 0.75, 1].map((f) => {
      const count = Number(((f * top) ** 2).toPrecision(2));
      return { value: Math.sqrt(count), text: countText(count) };
    });
    const xTicks = [0, 64, 128, 192, 255].map((value) => ({ value: value + 0.5, text: String(value) }));
    const { area, x, y } = chartFrame(context, width, height, font, {
      xTicks, yTicks, xRange: [0, counts.length], yRange: [0, Math.max(top, yTicks[4].value)],
      yUnit: "pixels (√ scale)", xName: "luma level",
    });
    context.fillStyle = "#c8d0d8";
    counts.forEach((count, level) => {
      const left = x(level), h = area.bottom - y(Math.sqrt(count));
      if (h > 0) context.fillRect(left, area.bottom - h, Math.max(x(level + 1) - left, 1), h);
    });
  });
}

// x, y, z of `key` ("acc" or "gyr") over the sensor time of the samples in the window; the value
// axis spans at least `least` units, so that the sensor's noise does not look like motion.
function drawImuChart(canvas, samples, key, unit, least) {
  chart(canvas, (context, width, height, font) => {
    const last = samples[samples.length - 1].t;
    const end = Math.max(last, samples[0].t + IMU_WINDOW);
    const values = samples.flatMap((sample) => sample[key]);
    let low = Math.min(...values), high = Math.max(...values);
    const middle = (low + high) / 2, half = Math.max((high - low) * 0.55, least / 2);
    const yTicks = niceTicks(middle - half, middle + half, Math.max(2, Math.floor(height / (font * 3))), true);
    // Sensor time in seconds: the unit goes with the last tick.
    const xTicks = niceTicks(end - IMU_WINDOW, end, Math.max(2, Math.floor(width / (font * 7))));
    xTicks[xTicks.length - 1].text += " s";
    const { area, x, y } = chartFrame(context, width, height, font, {
      xTicks, yTicks, xRange: [end - IMU_WINDOW, end], yRange: [yTicks.low, yTicks.high], yUnit: unit,
      legend: ["x", "y", "z"],
    });
    context.save();
    context.beginPath();
    context.rect(area.left, area.top, area.right - area.left, area.bottom - area.top);
    context.clip();
    context.lineWidth = 1.5;
    for (let axis = 0; axis < 3; axis += 1) {
      context.strokeStyle = XYZ_COLOURS[axis];
      context.beginPath();
      samples.forEach((sample, i) => {
        const method = i === 0 ? "moveTo" : "lineTo";
        context[method](x(sample.t), y(sample[key][axis]));
      });
      context.stroke();
    }
    context.restore();
  });
}

// Attitude

const RADIANS = Math.PI / 180;

// Roll and pitch of the body from gravity (the accelerometer of a still camera reads the force
// holding it up: (0, 0, g) upright). Axes: x out of the lens, y to the left, z up; ZYX angles.
function gravityAttitude([ax, ay, az]) {
  return { roll: Math.atan2(ay, az) / RADIANS, pitch: Math.atan2(-ax, Math.hypot(ay, az)) / RADIANS };
}

// The page's estimate: roll and pitch from gravity, yaw integrated from the gyroscope (it drifts:
// nothing corrects it). The IMU's own fused orientation, when it gives one, is what the view draws.
function trackAttitude(panel, sample) {
  const previous = panel.attitude;
  const { roll, pitch } = gravityAttitude(sample.acc);
  let yaw = previous ? previous.yaw : 0;
  const elapsed = previous ? sample.t - previous.t : 0;
  if (elapsed > 0 && elapsed < 2 && Math.abs(pitch) < 89) {
    const [, gy, gz] = sample.gyr;
    yaw += ((gy * Math.sin(roll * RADIANS) + gz * Math.cos(roll * RADIANS)) / Math.cos(pitch * RADIANS)) * elapsed;
    yaw = ((((yaw + 180) % 360) + 360) % 360) - 180;
  }
  panel.attitude = { t: sample.t, roll, pitch, yaw };
  return panel.attitude;
}

// Body to world: R = Rz(yaw) · Ry(pitch) · Rx(roll), angles in degrees.
function rotation({ yaw, pitch, roll }) {
  const [cy, sy] = [Math.cos(yaw * RADIANS), Math.sin(yaw * RADIANS)];
  const [cp, sp] = [Math.cos(pitch * RADIANS), Math.sin(pitch * RADIANS)];
  const [cr, sr] = [Math.cos(roll * RADIANS), Math.sin(roll * RADIANS)];
  return [
    [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
    [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
    [-sp, cp * sr, cp * cr],
  ];
}

const turn = (m, [x, y, z]) => m.map((row) => row[0] * x + row[1] * y + row[2] * z);
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];

// The camera as a box seen from the front right, a little above, with its lens and a ring on the
// ground for the heading (yaw 0 marked).
function drawOrientation(canvas, attitude) {
  chart(canvas, (context, width, height) => {
    const eye = [Math.cos(20 * RADIANS) * Math.cos(-40 * RADIANS), Math.cos(20 * RADIANS) * Math.sin(-40 * RADIANS), Math.sin(20 * RADIANS)];
    const right = [-eye[1], eye[0], 0].map((v) => v / Math.hypot(eye[0], eye[1]));
    const up = [-eye[2] * right[1], eye[2] * right[0], eye[0] * right[1] - eye[1] * right[0]];
    const scale = Math.min(width, height) * 0.3;
    const project = (p) => [width / 2 + dot(p, right) * scale, height / 2 - dot(p, up) * scale];
    const path = (points, close) => {
      context.beginPath();
      points.map(project).forEach(([px, py], i) => (i ? context.lineTo(px, py) : context.moveTo(px, py)));
      if (close) context.closePath();
    };
    const ring = [...Array(48).keys()].map((i) => [Math.cos(i * 7.5 * RADIANS) * 1.4, Math.sin(i * 7.5 * RADIANS) * 1.4, -0.9]);
    context.strokeStyle = CHART_GRID;
    context.lineWidth = 1.5;
    path(ring, true);
    context.stroke();
    context.fillStyle = CHART_TEXT;
    context.textAlign = "center";
    context.textBaseline = "middle";
    const [north0, north1] = [project([1.25, 0, -0.9]), project([1.55, 0, -0.9])];
    context.beginPath();
    context.moveTo(...north0);
    context.lineTo(...north1);
    context.stroke();
    context.fillText("yaw 0", ...project([1.85, 0, -0.9]));

    const m = rotation(attitude);
    const half = [0.45, 0.8, 0.5];
    // Where the lens looks: behind the box when it looks away.
    const sight = () => {
      context.strokeStyle = "#4ea1ff";
      context.lineWidth = 2;
      path([turn(m, [half[0], 0, 0]), turn(m, [1.3, 0, 0])], false);
      context.stroke();
    };
    const away = dot(turn(m, [1, 0, 0]), eye) < 0;
    if (away) sight();
    const corner = (sx, sy, sz) => turn(m, [sx * half[0], sy * half[1], sz * half[2]]);
    // Faces as (normal axis, sign, colour); a convex box needs only its faces turned to the eye.
    const faces = [
      [0, 1, "#2f6fb3"], [0, -1, "#3a4048"], [1, 1, "#4a525c"], [1, -1, "#4a525c"], [2, 1, "#5b646f"], [2, -1, "#30363d"],
    ];
    for (const [axis, sign, colour] of faces) {
      const normal = [0, 0, 0];
      normal[axis] = sign;
      if (dot(turn(m, normal), eye) <= 0) continue;
      const [a, b] = [0, 1, 2].filter((k) => k !== axis);
      const points = [[-1, -1], [1, -1], [1, 1], [-1, 1]].map(([u, v]) => {
        const s = [0, 0, 0];
        s[axis] = sign;
        s[a] = u;
        s[b] = v;
        return corner(...s);
      });
      context.fillStyle = colour;
      context.strokeStyle = "#11151a";
      path(points, true);
      context.fill();
      context.stroke();
      if (axis === 0 && sign === 1) {
        for (const [radius, fill] of [[0.34, "#11151a"], [0.22, "#24415f"]]) {
          const lens = [...Array(32).keys()].map((i) => turn(m, [half[0] + 0.01, Math.cos(i * 11.25 * RADIANS) * radius, Math.sin(i * 11.25 * RADIANS) * radius]));
          context.fillStyle = fill;
          path(lens, true);
          context.fill();
        }
      }
    }
    if (!away) sight();
  });
}

function degrees(value) {
  const text = value.toFixed(1);
  return `${text === "-0.0" ? "0.0" : text.replace("-", "−")}°`;
}

// One IMU sample of the events socket: the charts of the last IMU_WINDOW seconds, the attitude.
function showImu(panel, sample) {
  const samples = panel.imu;
  // A restarted IMU starts its clock over.
  if (samples.length && sample.t < samples[samples.length - 1].t) {
    samples.length = 0;
    panel.attitude = null;
  }
  samples.push(sample);
  while (sample.t - samples[0].t > IMU_WINDOW) samples.shift();
  const element = panel.element;
  drawImuChart(element.querySelector(".imu-acc"), samples, "acc", "m/s²", 2);
  drawImuChart(element.querySelector(".imu-gyr"), samples, "gyr", "°/s", 10);
  const estimate = trackAttitude(panel, sample);
  const fused = sample.orientation;
  drawOrientation(element.querySelector(".imu-orientation"), fused || estimate);
  const angles = ({ roll, pitch, yaw }) => `roll ${degrees(roll)} · pitch ${degrees(pitch)} · yaw ${degrees(yaw)}`;
  element.querySelector(".imu-angles").textContent = fused
    ? `Drawn: the IMU's fused orientation, ${angles(fused)}. From gravity: roll ${degrees(estimate.roll)} · pitch ${degrees(estimate.pitch)}; gyroscope yaw ${degrees(estimate.yaw)} (integrated, drifts).`
    : `From gravity and the gyroscope: ${angles(estimate)} (yaw integrated, drifts).`;
}
