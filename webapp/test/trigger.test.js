import { test } from 'node:test';
import assert from 'node:assert/strict';
import { findTrigger, checkTriggerOptions } from '../client/js/trigger.js';
import { TriggerWatch } from '../client/js/timedrun.js';

// A force probe at 100 Hz: rest at 0.3 N, a push rising at 20 N/s from t = 1.000 s, so the
// 5 N level is reached at 1 + 4.7/20 = 1.235 s, between the samples of 1.23 and 1.24 s.
function push() {
  const times = [];
  const values = [];
  for (let i = 0; i < 300; i++) {
    const t = i / 100;
    times.push(t);
    values.push(t < 1 ? 0.3 : 0.3 + 20 * (t - 1));
  }
  return { times, values };
}

test('a rising crossing is found between the two samples that straddle it', () => {
  const { times, values } = push();
  const at = findTrigger(times, values, { threshold: 5, direction: 'rise' });
  assert.ok(Math.abs(at - 1.235) < 1e-9, `trigger at ${at}`);
  // With 0.5 s kept before it, the pre-trigger window starts at 0.735 s of run time, which
  // the run holds: samples exist at negative times relative to the trigger.
  assert.ok(times.filter((t) => t - at >= -0.5 && t - at < 0).length === 50);
  assert.equal(findTrigger(times, values, { threshold: 5, direction: 'fall' }), null);
  assert.equal(findTrigger(times, values, { threshold: 100, direction: 'rise' }), null);
});

test('a value already past the threshold must come back before it triggers', () => {
  // Starts high (6 N), drops to 1 N at 0.5 s, rises again through 5 N at 1.5 s.
  const times = [0, 0.5, 1.0, 1.5, 2.0];
  const values = [6, 1, 3, 5, 7];
  assert.equal(findTrigger(times, values, { threshold: 5, direction: 'rise' }), 1.5);
  // Falling through 2 N between 0 and 0.5 s: (6 - 2) / (6 - 1) of the way.
  assert.ok(Math.abs(findTrigger(times, values, { threshold: 2, direction: 'fall' }) - 0.4) < 1e-12);
  // Only crossings after the arming moment count.
  assert.equal(findTrigger(times, values, { threshold: 2, direction: 'fall', after: 0.6 }), null);
  assert.ok(Math.abs(findTrigger(times, values, { threshold: 2, direction: 'rise', after: 0.6 }) - 0.75) < 1e-12);
});

test('gaps, short and bad input give no trigger or a clear error', () => {
  assert.equal(findTrigger([0, 1, 2], [0, NaN, 10], { threshold: 5 }), null);
  assert.equal(findTrigger([0], [0], { threshold: 5 }), null);
  assert.equal(findTrigger([], [], { threshold: 5 }), null);
  assert.throws(() => findTrigger([0, 1], [0, 10], { threshold: NaN }), RangeError);
  assert.throws(() => findTrigger([0, 1], [0, 10], { threshold: 1, direction: 'up' }), RangeError);
  assert.deepEqual(checkTriggerOptions({ threshold: '2,5', preTrigger: '' }), { ok: true, threshold: 2.5, preTrigger: 0 });
  assert.equal(checkTriggerOptions({ threshold: '', preTrigger: '1' }).error, 'trigger.badThreshold');
  assert.equal(checkTriggerOptions({ threshold: '1', preTrigger: '-1' }).error, 'trigger.badPre');
  assert.equal(checkTriggerOptions({ threshold: '1', preTrigger: '1e9' }).error, 'trigger.badPre');
});

test('the watch finds a crossing that falls between two reads, also after a slow reply', async () => {
  // Recording time runs with the clock; each read gives the newest `back` seconds of a
  // 100 Hz value that rises through 5 at exactly 2.345 s (slope 10 per second).
  let now = 0;
  const timers = [];
  const clock = { now: () => now, setTimeout: (f) => timers.push(f), clearTimeout: () => {} };
  const value = (t) => 5 + 10 * (t - 2.345);
  const backs = [];
  const fired = [];
  const watch = new TriggerWatch({
    read: async (back) => {
      backs.push(back);
      const end = now / 1000;
      const time = [];
      for (let k = Math.ceil((end - back) * 100); k <= Math.floor(end * 100); k++) time.push(k / 100);
      return { time, values: time.map(value) };
    },
    fired: (at) => fired.push(at),
  }, findTrigger, { clock });
  watch.arm({ threshold: 5, direction: 'rise' });
  // Reads at 0.1 s steps up to 2.0 s, then one reply so slow that the next read is at 4.0 s.
  for (now = 100; now <= 2000; now += 100) await timers.shift()();
  assert.deepEqual(fired, []);
  now = 4000;
  await timers.shift()();
  assert.equal(fired.length, 1);
  assert.ok(Math.abs(fired[0] - 2.345) < 1e-9, `fired at ${fired[0]}`);
  assert.ok(backs.at(-1) >= 2, `the slow read reached back ${backs.at(-1)} s over the gap`);
  assert.equal(watch.state, 'fired');
  assert.equal(timers.length, 0, 'no more reads after firing');
});
