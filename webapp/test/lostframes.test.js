import { test } from 'node:test';
import assert from 'node:assert/strict';
import { lostFrames, lostPerRemote, findGaps, gapMarks, gapProbeSensor } from '../client/js/lostframes.js';
import { decodeDocument } from '../client/js/bsondoc.js';
import { serialize } from '../client/lib/bson.js';

// A run report as the library writes it: sensors as BSON arrays, counters last.
const report = decodeDocument(serialize({
  ID: 'a', lastStartDate: '20240105T101010',
  remote1: { config: 4, sensors: [
    { remote: 1, config: 4, sensorType: 1, sampleSize: 3, frames: 1000, packets: 997 },
    { remote: 1, config: 4, sensorType: 8, sampleSize: 1, frames: 1000, packets: 995 },
    { remote: 1, config: 4, sensorType: 9, sampleSize: 3, frames: 1000, packets: 1000 },
  ] },
  remote2: { config: 2, sensors: [{ remote: 2, config: 2, sensorType: 1, sampleSize: 3 }] },
}));

test('lost frames per sensor and per remote from the run report', () => {
  const m = lostFrames(report);
  assert.deepEqual([...m.keys()], ['1:1', '1:8', '1:9']);
  assert.equal(m.get('1:1').lost, 3);
  assert.equal(m.get('1:8').lost, 5);
  assert.equal(m.get('1:9').lost, 0);
  // A sensor without the counters is not shown as "0 lost".
  assert.equal(m.has('2:1'), false);
  assert.deepEqual(lostPerRemote(m).get(1), { remote: 1, lost: 5, frames: 1000, packets: 995 });
  // Damaged counters: negative, non-integer, packets above frames.
  const odd = lostFrames({ remote1: { sensors: [
    { sensorType: 1, frames: -1, packets: 0 }, { sensorType: 2, frames: 1.5, packets: 1 },
    { sensorType: 3, frames: 10, packets: 12 }] } });
  assert.deepEqual([...odd.values()].map((v) => [v.sensorType, v.lost]), [[3, 0]]);
  assert.equal(lostFrames(null).size, 0);
});

test('gaps where the frame-average times step by more than one frame', () => {
  // Frames 1..5 arrived, 6 and 7 lost, 8..9 arrived, 10 lost, 11 arrived; single precision.
  const frames = [1, 2, 3, 4, 5, 8, 9, 11];
  const times = Float32Array.from(frames, (f) => f * 0.01);
  const gaps = findGaps(times);
  assert.deepEqual(gaps.map((g) => [g.packetsBefore, g.lost]), [[5, 2], [7, 1]]);
  assert.ok(Math.abs(gaps[0].frameTime - 0.06) < 1e-6);
  assert.equal(gaps.reduce((s, g) => s + g.lost, 0), 3);
  // Float noise of a long run does not make gaps: 0.01 s steps around one hour.
  const long = Float32Array.from({ length: 1000 }, (_, i) => (360000 + i) * 0.01);
  assert.deepEqual(findGaps(long), []);
  assert.deepEqual(findGaps(new Float32Array(0)), []);
  // Across the 8-bit counter wrap the frame total keeps counting: no gap.
  assert.deepEqual(findGaps(Float32Array.from([254, 255, 256, 257], (f) => f * 0.01)), []);
});

test('gap marks sit after their packets on the sample time axis', () => {
  const gaps = [{ packetsBefore: 100, lost: 2 }, { packetsBefore: 250, lost: 1 }];
  // Live: nominal 400 Hz, 4 samples per packet: 300 packets end at 3.0 s.
  assert.deepEqual(gapMarks(gaps, { lastTime: 3.0, packets: 300 }).map((g) => +g.time.toFixed(6)), [1, 2.5]);
  // After the rate was measured (frames / packets stretched), the marks stretch with it.
  assert.deepEqual(gapMarks(gaps, { lastTime: 3.03, packets: 300 }).map((g) => +g.time.toFixed(6)), [1.01, 2.525]);
  assert.deepEqual(gapMarks(gaps, { lastTime: 0, packets: 0 }), []);
});

test('the gap probe is a sensor with a sample in every frame, the smallest one', () => {
  const rates = { 1: 200, 9: 100, 8: 200, 2: 80 };
  const rateOf = (t) => rates[t];
  const pick = gapProbeSensor([{ sensorType: 1, sampleSize: 3 }, { sensorType: 9, sampleSize: 3 }, { sensorType: 8, sampleSize: 1 }], rateOf);
  assert.equal(pick.sensorType, 8);
  assert.equal(gapProbeSensor([{ sensorType: 2, sampleSize: 3 }], rateOf), null);
});
