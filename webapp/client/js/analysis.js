// Page-side preparation of what the analysis views draw: cursor readings, overlays of
// earlier runs on the current run's time axis, and X-Y pairs from the two-sensor query.

// Index of the last time <= t in an ascending column (-1 when t is before the first).
export function indexAtOrBefore(times, t) {
  let lo = 0;
  let hi = times.length - 1;
  if (hi < 0 || !(t >= times[0])) return -1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (times[mid] <= t) lo = mid; else hi = mid - 1;
  }
  return lo;
}

// Value of a column at time t, interpolated between the neighbouring samples; null outside
// the data (a cursor past the end reads nothing rather than the last value).
export function valueAt(times, values, t) {
  const n = times.length;
  if (!n || !Number.isFinite(t) || t < times[0] || t > times[n - 1]) return null;
  const i = indexAtOrBefore(times, t);
  if (i === n - 1 || times[i] === t) return values[i];
  const t0 = times[i];
  const t1 = times[i + 1];
  const v0 = values[i];
  const v1 = values[i + 1];
  if (v0 == null || v1 == null) return null;
  return t1 === t0 ? v1 : v0 + ((t - t0) * (v1 - v0)) / (t1 - t0);
}

// Readings of two cursors over one series (time column + value columns):
// { a: [...], b: [...], dt, diff: [...], rate: [...] }; a missing cursor or value gives null.
export function cursorReadout(series, ta, tb) {
  const read = (t) => (Number.isFinite(t) ? series.values.map((col) => valueAt(series.time, col, t)) : null);
  const a = read(ta);
  const b = read(tb);
  const dt = a && b ? tb - ta : null;
  const diff = a && b ? a.map((va, i) => (va == null || b[i] == null ? null : b[i] - va)) : null;
  const rate = diff && dt !== 0 ? diff.map((d) => (d == null ? null : d / dt + 0)) : null;
  return { a, b, dt, diff, rate };
}

// A whole run kept for overlaying, thinned to at most `maxPoints` rows so that many kept runs
// stay small. Keeps the first and last sample.
export function thinSeries(series, maxPoints = 2000) {
  const n = series.length;
  if (n <= maxPoints) {
    return { time: Float32Array.from(series.time), values: series.values.map((c) => Float32Array.from(c)), length: n };
  }
  const step = (n - 1) / (maxPoints - 1);
  const pick = Array.from({ length: maxPoints }, (_, i) => Math.round(i * step));
  return {
    time: Float32Array.from(pick, (i) => series.time[i]),
    values: series.values.map((c) => Float32Array.from(pick, (i) => c[i])),
    length: maxPoints,
  };
}

// uPlot draws every series over one shared x column. The current run and each overlay have
// their own times, so the columns are merged: x is the sorted union of all times within
// [min, max] (all when no range), and each series holds its values at its own times and
// null elsewhere (drawn with gaps spanned). Returns [x, ...current columns, ...overlay columns].
export function alignSeries(base, overlays, range = null) {
  const sources = [base, ...overlays].filter(Boolean);
  const inRange = (t) => !range || (t >= range.min && t <= range.max);
  const rows = new Map();
  sources.forEach((s, k) => {
    for (let i = 0; i < s.length; i++) {
      const t = s.time[i];
      if (!inRange(t)) continue;
      let row = rows.get(t);
      if (!row) { row = new Array(sources.length).fill(-1); rows.set(t, row); }
      row[k] = i;
    }
  });
  const x = [...rows.keys()].sort((p, q) => p - q);
  const columns = [x];
  sources.forEach((s, k) => {
    for (const col of s.values) {
      columns.push(x.map((t) => {
        const i = rows.get(t)[k];
        return i < 0 ? null : col[i];
      }));
    }
  });
  return columns;
}

// X-Y pairs from a two-sensor result: pick one column of each sensor. Pairs where either
// value is not a number are dropped. Returns { x, y, length, bounds }.
export function xyPairs(paired, xSel, ySel) {
  const col = (sel) => (sel.which === 0 ? paired.first : paired.second)[sel.axis];
  const xs = col(xSel);
  const ys = col(ySel);
  if (!xs || !ys) return { x: new Float32Array(0), y: new Float32Array(0), length: 0, bounds: null };
  const x = [];
  const y = [];
  for (let i = 0; i < paired.length; i++) {
    if (Number.isFinite(xs[i]) && Number.isFinite(ys[i])) { x.push(xs[i]); y.push(ys[i]); }
  }
  if (!x.length) return { x: new Float32Array(0), y: new Float32Array(0), length: 0, bounds: null };
  const bounds = { xmin: Math.min(...x), xmax: Math.max(...x), ymin: Math.min(...y), ymax: Math.max(...y) };
  return { x: Float32Array.from(x), y: Float32Array.from(y), length: x.length, bounds };
}

// "Nice" axis ticks (1, 2, 5 x 10^n) covering [min, max] with about `count` steps; a flat
// range is widened so that a constant value still gets an axis.
export function niceTicks(min, max, count = 5) {
  if (!Number.isFinite(min) || !Number.isFinite(max)) return { min: 0, max: 1, ticks: [0, 0.5, 1] };
  if (max - min < 1e-9) { const pad = Math.abs(min) * 0.1 || 1; min -= pad; max += pad; }
  const raw = (max - min) / count;
  const mag = 10 ** Math.floor(Math.log10(raw));
  const step = [1, 2, 5, 10].map((m) => m * mag).find((s) => s >= raw);
  const lo = Math.floor(min / step) * step;
  const hi = Math.ceil(max / step) * step;
  const ticks = [];
  for (let v = lo; v <= hi + step / 2; v += step) ticks.push(Number(v.toPrecision(12)));
  return { min: lo, max: hi, ticks };
}

// Number for the big display: a fixed number of significant digits, no exponent for
// classroom magnitudes.
export function bigNumber(value, digits = 3) {
  if (value == null || !Number.isFinite(value)) return '—';
  const a = Math.abs(value);
  if (a >= 10 ** digits) return value.toFixed(0);
  if (a === 0) return (0).toFixed(digits - 1);
  const decimals = Math.max(0, digits - 1 - Math.floor(Math.log10(a)));
  return value.toFixed(Math.min(decimals, 6));
}
