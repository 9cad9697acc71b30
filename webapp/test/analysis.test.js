import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  indexAtOrBefore, valueAt, cursorReadout, thinSeries, alignSeries, xyPairs, niceTicks, bigNumber,
} from '../client/js/analysis.js';
import { twoSensorSeries } from '../client/js/layouts.js';
import { TimedRun, parseSeconds } from '../client/js/timedrun.js';

const series = (time, ...values) => ({ time: Float64Array.from(time), values: values.map((v) => Float64Array.from(v)), length: time.length });

test('cursor values are interpolated inside the data and empty outside it', () => {
  const s = series([0.1, 0.2, 0.3, 0.4], [1, 3, 3, 7], [0, -1, -2, -3]);
  assert.equal(indexAtOrBefore(s.time, 0.05), -1);
  assert.equal(indexAtOrBefore(s.time, 0.3), 2);
  assert.equal(indexAtOrBefore(s.time, 9), 3);
  assert.ok(Math.abs(valueAt(s.time, s.values[0], 0.15) - 2) < 1e-9);
  assert.equal(valueAt(s.time, s.values[0], 0.4), 7);
  assert.equal(valueAt(s.time, s.values[0], 0.41), null);
  assert.equal(valueAt(s.time, s.values[0], NaN), null);
  assert.equal(valueAt(new Float64Array(0), new Float64Array(0), 0), null);
});

test('two cursors give time and value differences and the rate of change', () => {
  const s = series([0, 1, 2, 3], [0, 2, 4, 6], [5, 5, 5, 5]);
  const r = cursorReadout(s, 0.5, 2.5);
  assert.deepEqual(r.a, [1, 5]);
  assert.deepEqual(r.b, [5, 5]);
  assert.equal(r.dt, 2);
  assert.deepEqual(r.diff, [4, 0]);
  assert.deepEqual(r.rate, [2, 0]);
  // Cursors in reverse order: negative time difference, same rate.
  assert.deepEqual(cursorReadout(s, 2.5, 0.5).rate, [2, 0]);
  // Both at the same time: no rate (no division by zero).
  assert.equal(cursorReadout(s, 1, 1).rate, null);
  // One cursor only, or one outside the data.
  const one = cursorReadout(s, 1, NaN);
  assert.deepEqual([one.a, one.b, one.dt], [[2, 5], null, null]);
  assert.deepEqual(cursorReadout(s, 1, 9).diff, [null, null]);
});

test('overlay columns merge onto one time axis with nulls where a run has no sample', () => {
  const current = series([0.1, 0.2, 0.3], [1, 2, 3]);
  const earlier = series([0.15, 0.2, 0.35], [10, 20, 30], [-1, -2, -3]);
  const cols = alignSeries(current, [earlier]);
  assert.deepEqual(cols[0], [0.1, 0.15, 0.2, 0.3, 0.35]);
  assert.deepEqual(cols[1], [1, null, 2, 3, null]);
  assert.deepEqual(cols[2], [null, 10, 20, null, 30]);
  assert.deepEqual(cols[3], [null, -1, -2, null, -3]);
  // Only the shown window is kept (live view of the last seconds).
  const win = alignSeries(current, [earlier], { min: 0.2, max: 0.3 });
  assert.deepEqual(win, [[0.2, 0.3], [2, 3], [20, null], [-2, null]]);
  // No current data yet: the overlay alone.
  assert.deepEqual(alignSeries(series([]), [series([1], [5])]), [[1], [5]]);
});

test('a kept run is thinned evenly and keeps its ends', () => {
  const n = 10001;
  const s = series(Array.from({ length: n }, (_, i) => i / 1000), Array.from({ length: n }, (_, i) => i));
  const thin = thinSeries(s, 101);
  assert.equal(thin.length, 101);
  assert.equal(thin.values[0][0], 0);
  assert.equal(thin.values[0][100], 10000);
  assert.equal(thin.values[0][50], 5000);
  assert.equal(thinSeries(series([1, 2], [3, 4]), 100).length, 2);
});

test('X-Y pairs from the two-sensor layout: one column of each sensor', () => {
  // 3 matched times; accelerometer (3 values) and force (1 value).
  const floats = Float32Array.from([0.01, 0.02, 0.03, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, -2, NaN]);
  const paired = twoSensorSeries({ remote: 1, sampleRate: 100, sensorType: [1, 8], sampleSize: [3, 1], datalength: 3 }, floats);
  const xy = xyPairs(paired, { which: 0, axis: 1 }, { which: 1, axis: 0 });
  assert.deepEqual([...xy.x], [4, 5]); // the pair with a NaN force is dropped
  assert.deepEqual([...xy.y], [-1, -2]);
  assert.deepEqual(xy.bounds, { xmin: 4, xmax: 5, ymin: -2, ymax: -1 });
  assert.equal(xyPairs(paired, { which: 0, axis: 5 }, { which: 1, axis: 0 }).length, 0);
});

test('axis ticks and big numbers', () => {
  assert.deepEqual(niceTicks(0, 9.3, 5), { min: 0, max: 10, ticks: [0, 2, 4, 6, 8, 10] });
  const flat = niceTicks(3, 3);
  assert.ok(flat.min < 3 && flat.max > 3);
  assert.equal(bigNumber(9.8123), '9.81');
  assert.equal(bigNumber(-0.012345), '-0.0123');
  assert.equal(bigNumber(101.325), '101');
  assert.equal(bigNumber(12345.6), '12346');
  assert.equal(bigNumber(0), '0.00');
  assert.equal(bigNumber(null), '—');
});

function fakeClock() {
  const c = { t: 0, timers: [] };
  c.now = () => c.t;
  c.setTimeout = (f, ms) => { const id = { f, at: c.t + ms }; c.timers.push(id); return id; };
  c.clearTimeout = (id) => { c.timers = c.timers.filter((x) => x !== id); };
  c.advance = (ms) => {
    c.t += ms;
    for (const id of c.timers.filter((x) => x.at <= c.t)) { c.timers = c.timers.filter((x) => x !== id); id.f(); }
  };
  return c;
}

test('timed run: countdown, start, stop after the duration counted from the confirmation', () => {
  const clock = fakeClock();
  const calls = [];
  const run = new TimedRun({ start: () => calls.push('start'), stop: () => calls.push('stop') }, clock);
  run.setOptions({ countdown: 3, duration: 10 });
  assert.equal(run.begin(), true);
  assert.equal(run.begin(), false);
  clock.advance(1000);
  assert.equal(run.remaining(), 2);
  clock.advance(2000);
  assert.deepEqual(calls, ['start']);
  clock.advance(500); // the kit confirms half a second later
  run.started();
  clock.advance(9999);
  assert.deepEqual(calls, ['start']);
  clock.advance(1);
  assert.deepEqual(calls, ['start', 'stop']);
  run.stopped();
  assert.equal(run.state, 'idle');
});

test('timed run with a start trigger: the duration counts from the trigger, less its lateness', () => {
  const clock = fakeClock();
  const calls = [];
  const run = new TimedRun({ start: () => calls.push('start'), stop: () => calls.push('stop') }, clock);
  run.setOptions({ countdown: 0, duration: 5 });
  run.begin();
  run.started({ awaitTrigger: true });
  clock.advance(60000); // nothing crossed yet: the run goes on
  assert.deepEqual(calls, ['start']);
  assert.equal(run.remaining(), null);
  run.triggered(0.25); // seen a quarter second after the crossing
  assert.equal(run.remaining(), 4.75);
  clock.advance(4749);
  assert.deepEqual(calls, ['start']);
  clock.advance(1);
  assert.deepEqual(calls, ['start', 'stop']);
  run.stopped();
  run.triggered(0); // a late report after the stop starts nothing
  clock.advance(10000);
  assert.deepEqual(calls, ['start', 'stop']);
});

test('timed run: a cancelled countdown never starts; a hand stop cancels the pending stop', () => {
  const clock = fakeClock();
  const calls = [];
  const run = new TimedRun({ start: () => calls.push('start'), stop: () => calls.push('stop') }, clock);
  run.setOptions({ countdown: 5, duration: 2 });
  run.begin();
  clock.advance(4000);
  assert.equal(run.cancel(), true);
  clock.advance(5000);
  assert.deepEqual(calls, []);
  run.begin();
  clock.advance(5000);
  run.started();
  run.stopped(); // stopped by hand before the duration
  clock.advance(5000);
  assert.deepEqual(calls, ['start']);
  // A run started elsewhere (another window, the command line) is not stopped by this page.
  run.started();
  clock.advance(60000);
  assert.deepEqual(calls, ['start']);
  assert.throws(() => run.setOptions({ duration: -1 }), RangeError);
  assert.deepEqual([parseSeconds(''), parseSeconds(' 2,5 '), parseSeconds('1e3'), parseSeconds('-3'), parseSeconds('999999')], [0, 2.5, NaN, NaN, NaN]);
});
