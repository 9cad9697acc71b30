import { test } from 'node:test';
import assert from 'node:assert/strict';
import { rangeStats, slopeAt, areaUnder, slopeUnit, areaUnit } from '../client/js/stats.js';

const near = (actual, expected, tol = 1e-9) =>
  assert.ok(Math.abs(actual - expected) <= tol, `${actual} is not within ${tol} of ${expected}`);

test('range statistics of 1..10 and of parts of it', () => {
  const t = Float64Array.from({ length: 10 }, (_, i) => i + 1);
  const s = rangeStats(t, Float32Array.from(t), 1, 10);
  assert.deepEqual([s.n, s.min, s.max, s.mean, s.duration], [10, 1, 10, 5.5, 9]);
  near(s.sd, Math.sqrt(82.5 / 9)); // Σ(x − 5.5)² = 82.5, n − 1 = 9
  // Bounds between samples, in either order; NaN samples are skipped.
  const v = [1, 2, 3, NaN, 5, 6, 7, 8, 9, 10];
  assert.deepEqual(rangeStats(t, v, 5.5, 2.5), { n: 2, min: 3, max: 5, mean: 4, sd: Math.SQRT2, duration: 3 });
  assert.deepEqual(rangeStats(t, v, 4, 4), { n: 0, min: null, max: null, mean: null, sd: null, duration: 0 });
  assert.equal(rangeStats(t, v, 10, 12).sd, null);
  assert.equal(rangeStats([], [], 0, 1).n, 0);
});

test('local slope of a parabola and too few points', () => {
  // y = t²: a line fitted symmetrically about t has the derivative 2t as its slope.
  const t = Float64Array.from({ length: 1001 }, (_, i) => 100 + i * 0.01);
  const y = t.map((x) => x * x);
  const r = slopeAt(t, y, 103, 0.5);
  assert.equal(r.n, 101);
  near(r.slope, 206, 1e-6);
  near(r.slope * 103 + r.intercept, r.value, 1e-6);
  // The line's value at t exceeds t² by the mean of (t − 103)² over the window.
  const meanSquare = Array.from({ length: 101 }, (_, i) => ((i - 50) * 0.01) ** 2).reduce((a, b) => a + b) / 101;
  near(r.value, 103 * 103 + meanSquare, 1e-6);
  assert.equal(slopeAt(t, y, 103.005, 0.007), null); // two samples only
  assert.equal(slopeAt(t, y, 50, 1), null);
});

test('area: triangle and constant force with cut intervals, signs and gaps', () => {
  // Triangle 0 → 2 → 0 over [0, 2]: area 2; over [0.5, 1.5] the corners 2 × ½·0.5·1 are lost.
  const tri = [0, 1, 2];
  near(areaUnder(tri, [0, 2, 0], 0, 2), 2);
  near(areaUnder(tri, [0, 2, 0], 0.5, 1.5), 1.5);
  near(areaUnder(tri, [0, 2, 0], 0.25, 0.75), 0.5); // inside one interval: ½(0.5 + 1.5)·0.5
  // A constant 5 N from 0.25 s to 2.75 s: impulse 12.5 N·s; reversed bounds negate it.
  const t = [0, 1, 2, 3];
  near(areaUnder(t, [5, 5, 5, 5], 0.25, 2.75), 12.5);
  near(areaUnder(t, [5, 5, 5, 5], 2.75, 0.25), -12.5);
  near(areaUnder(t, [-5, -5, -5, -5], -10, 10), -15); // only the data's extent counts
  near(areaUnder(t, [5, NaN, 5, 5], 0, 3), 15); // a gap is bridged
  assert.equal(areaUnder(t, [5, 5, 5, 5], 4, 6), null);
  assert.equal(areaUnder(t, [5, 5, 5, 5], NaN, 1), null);
});

test('units of slopes and areas', () => {
  assert.deepEqual(['m', 'm/s', '', 'N', '°C'].map(slopeUnit), ['m/s', 'm/s²', '1/s', 'N/s', '°C/s']);
  assert.deepEqual(['N', 'm/s', 'V', 'm/s²'].map(areaUnit), ['N·s', 'm', 'V·s', 'm/s²·s']);
});
