// How the graphs ask for data: which queries a sensor needs, and at which rate, so that
// each refresh carries about one sample per pixel column of the graph and never more
// samples than the sensor recorded.
import { SENSORS } from './sensors.js';

// Axis arguments for one refresh of a sensor's graph. Most sensors return all their values
// in one query (-1). The digital sensor returns only line 0 for -1, so its eight lines
// are asked for one by one.
// With `leads`, a sensor that has derived leads (the six-channel ECG) is asked for each
// lead instead of its channels.
export function axisPlan(sensorType, { leads = false } = {}) {
  const info = SENSORS[sensorType];
  if (info?.lines) return Array.from({ length: info.lines }, (_, i) => i);
  if (leads && info?.leads) return info.leads.map((_, i) => i);
  return [-1];
}

// Resampling rate (Hz) for a window of `span` seconds drawn `pixels` wide: about one
// sample per pixel. Returns -1 (every stored sample) when the sensor's own rate is not
// higher than that, since resampling would then only invent points.
export function queryRate(pixels, span, sensorRate) {
  if (!(span > 0) || !(pixels > 0)) return -1;
  const wanted = Math.max(1, Math.ceil(pixels / span));
  if (Number.isFinite(sensorRate) && sensorRate > 0 && wanted >= sensorRate) return -1;
  return wanted;
}

// Live window: the last `seconds` of the recording, ending at its newest sample.
export function liveRange(lastTime, seconds) {
  if (!Number.isFinite(lastTime) || lastTime <= seconds) return { min: 0, max: seconds };
  return { min: lastTime - seconds, max: lastTime };
}

// Zooming around a point (factor < 1 zooms in), kept inside [0, total] and never narrower
// than `minSpan` seconds.
export function zoomRange(view, factor, at, total, minSpan = 0.01) {
  const span = Math.max(minSpan, (view.max - view.min) * factor);
  const t = Number.isFinite(at) ? (at - view.min) / (view.max - view.min || 1) : 0.5;
  let min = at - span * t;
  if (!Number.isFinite(min)) min = view.min;
  return clampRange({ min, max: min + span }, total);
}

export function panRange(view, fraction, total) {
  const span = view.max - view.min;
  return clampRange({ min: view.min + span * fraction, max: view.max + span * fraction }, total);
}

export function clampRange(view, total) {
  const span = view.max - view.min;
  if (!(total > 0)) return { ...view };
  if (span >= total) return { min: 0, max: total };
  let { min, max } = view;
  if (min < 0) { max -= min; min = 0; }
  if (max > total) { min -= max - total; max = total; }
  return { min: Math.max(0, min), max };
}
