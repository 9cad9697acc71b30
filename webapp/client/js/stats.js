// Statistics of a selected time range of one column: summary values, the local slope at a
// point and the area under the curve. Times are ascending; values may hold NaN for missing
// samples, which are skipped.

import { min, max, mean, sampleStandardDeviation } from '../lib/simple-statistics.js';
import { indexAtOrBefore } from './analysis.js';

// Index range [first, last] of the samples with lo <= t <= hi (first > last when none).
export function indexRange(times, lo, hi) {
  let first = indexAtOrBefore(times, lo);
  if (first < 0 || times[first] < lo) first += 1;
  return [first, indexAtOrBefore(times, hi)];
}

function finiteInRange(times, values, lo, hi) {
  const [first, last] = indexRange(times, lo, hi);
  const ts = [];
  const vs = [];
  for (let i = first; i <= last; i++) {
    if (Number.isFinite(values[i]) && Number.isFinite(times[i])) { ts.push(times[i]); vs.push(values[i]); }
  }
  return [ts, vs];
}

// { n, min, max, mean, sd, duration } of the samples with t0 <= t <= t1; sd is the sample
// standard deviation (null below two samples), the others are null without samples.
export function rangeStats(times, values, t0, t1) {
  const lo = Math.min(t0, t1);
  const hi = Math.max(t0, t1);
  const [, vs] = finiteInRange(times, values, lo, hi);
  const n = vs.length;
  return {
    n,
    min: n ? min(vs) : null,
    max: n ? max(vs) : null,
    mean: n ? mean(vs) : null,
    sd: n > 1 ? sampleStandardDeviation(vs) : null,
    duration: Number.isFinite(hi - lo) ? hi - lo : null,
  };
}

// Least-squares line through the samples within halfWidth of t:
// { slope, intercept, value, n } with y = slope·t + intercept and value the line at t;
// null with fewer than three samples or all of them at one time.
export function slopeAt(times, values, t, halfWidth) {
  if (!Number.isFinite(t) || !(halfWidth > 0)) return null;
  const [ts, vs] = finiteInRange(times, values, t - halfWidth, t + halfWidth);
  const n = ts.length;
  if (n < 3) return null;
  // Times relative to t keep the sums well conditioned late in a long run.
  let su = 0, sy = 0;
  for (let i = 0; i < n; i++) { su += ts[i] - t; sy += vs[i]; }
  const mu = su / n;
  const my = sy / n;
  let suu = 0, suy = 0;
  for (let i = 0; i < n; i++) {
    const du = ts[i] - t - mu;
    suu += du * du;
    suy += du * (vs[i] - my);
  }
  if (!(suu > 0)) return null;
  const slope = suy / suu;
  const value = my - slope * mu;
  return { slope, intercept: value - slope * t, value, n };
}

// Signed trapezoidal area under the samples between t0 and t1 (negative when t1 < t0).
// The first and last intervals are cut at t0 and t1 with interpolated values; only the part
// of [t0, t1] covered by data counts. Null when fewer than two samples overlap the range.
export function areaUnder(times, values, t0, t1) {
  if (!Number.isFinite(t0) || !Number.isFinite(t1)) return null;
  const sign = t1 < t0 ? -1 : 1;
  const lo = Math.min(t0, t1);
  const hi = Math.max(t0, t1);
  // From the last sample at or before lo to the first at or after hi.
  const [first, last] = indexRange(times, lo, hi);
  const from = Math.max(0, first - 1);
  const to = Math.min(times.length - 1, last + 1);
  let area = 0;
  let intervals = 0;
  let prev = -1;
  for (let i = from; i <= to; i++) {
    if (!Number.isFinite(values[i]) || !Number.isFinite(times[i])) continue;
    if (prev >= 0) {
      const ta = times[prev], tb = times[i];
      const a = Math.max(ta, lo), b = Math.min(tb, hi);
      if (b >= a && tb > ta) {
        const at = (x) => values[prev] + ((values[i] - values[prev]) * (x - ta)) / (tb - ta);
        area += ((at(a) + at(b)) / 2) * (b - a);
        intervals += 1;
      }
    }
    prev = i;
  }
  return intervals ? sign * area : null;
}

const slopeUnits = { m: 'm/s', 'm/s': 'm/s²', '': '1/s' };
const areaUnits = { N: 'N·s', 'm/s': 'm' };

// Unit of the slope of a column in `unit` against time in seconds.
export function slopeUnit(unit) {
  return slopeUnits[unit ?? ''] ?? `${unit}/s`;
}

// Unit of the area under a column in `unit` against time in seconds.
export function areaUnit(unit) {
  return areaUnits[unit] ?? `${unit}·s`;
}
