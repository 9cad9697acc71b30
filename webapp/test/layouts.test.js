import { test } from 'node:test';
import assert from 'node:assert/strict';
import { singleSensorSeries, twoSensorSeries, mergeAxisSeries } from '../client/js/layouts.js';
import { axisPlan, queryRate, liveRange, zoomRange, panRange } from '../client/js/graphquery.js';
import { axisDescriptions } from '../client/js/sensors.js';

const doc = (over) => ({ remote: 1, sensorType: 1, sampleSize: 3, sampleRate: 100, datalength: 3, rawdata: false,
  boundingBox: { max: [1, 2, 3], min: [0, 0, 0] }, ...over });

test('one sensor, all axes, with raw columns: times, converted x y z, raw x y z', () => {
  const floats = Float32Array.from({ length: 21 }, (_, i) => i);
  const s = singleSensorSeries(doc({ rawdata: true }), floats);
  assert.equal(s.length, 3);
  assert.deepEqual([...s.time], [0, 1, 2]);
  assert.deepEqual(s.values.map((c) => [...c]), [[3, 4, 5], [6, 7, 8], [9, 10, 11]]);
  assert.deepEqual(s.raw.map((c) => [...c]), [[12, 13, 14], [15, 16, 17], [18, 19, 20]]);
  assert.deepEqual(s.bounds, { max: [1, 2, 3], min: [0, 0, 0] });
});

test('one selected axis without raw values: two columns', () => {
  const s = singleSensorSeries(doc({ sampleSize: 1 }), Float32Array.from([0.01, 0.02, 0.03, 5, 6, 7]));
  assert.equal(s.raw, null);
  assert.equal(s.values.length, 1);
  assert.deepEqual([...s.values[0]], [5, 6, 7]);
  assert.ok(Math.abs(s.time[2] - 0.03) < 1e-6);
});

test('an empty result has no buffer; an unknown sensor gives an empty document', () => {
  const s = singleSensorSeries(doc({ datalength: 0 }), null);
  assert.equal(s.length, 0);
  assert.equal(s.values.length, 3);
  assert.equal(s.values[0].length, 0);
  assert.equal(singleSensorSeries({}, null), null);
});

test('a buffer that does not fit the layout is refused', () => {
  assert.throws(() => singleSensorSeries(doc(), new Float32Array(11)), /needs 12/);
  assert.throws(() => singleSensorSeries(doc({ rawdata: true }), new Float32Array(12)), /needs 21/);
  assert.throws(() => singleSensorSeries(doc({ datalength: 2 }), null), /needs 8/);
  assert.throws(() => singleSensorSeries(doc({ datalength: -1 }), new Float32Array(0)), /not a count/);
});

test('two sensors: times, then the first sensor\'s columns, then the second\'s', () => {
  const C = 2;
  const floats = Float32Array.from({ length: C * 5 }, (_, i) => i); // accelerometer (3) + force (1)
  const s = twoSensorSeries({ remote: 1, sampleRate: 100, sensorType: [1, 8], sampleSize: { 0: 3, 1: 1 }, datalength: C }, floats);
  assert.deepEqual(s.sensorTypes, [1, 8]);
  assert.deepEqual([...s.time], [0, 1]);
  assert.deepEqual(s.first.map((c) => [...c]), [[2, 3], [4, 5], [6, 7]]);
  assert.deepEqual(s.second.map((c) => [...c]), [[8, 9]]);
  assert.throws(() => twoSensorSeries({ sensorType: [1, 8], sampleSize: [3, 1], datalength: 2 }, new Float32Array(9)), /needs 10/);
  assert.throws(() => twoSensorSeries({ sensorType: [1], sampleSize: [3], datalength: 0 }, null), /two sensors/);
  // No matching times: an empty buffer.
  assert.equal(twoSensorSeries({ sensorType: [1, 8], sampleSize: [3, 1], datalength: 0 }, new Float32Array(0)).length, 0);
});

test('digital lines are asked for one by one and merged on the shortest time base', () => {
  assert.deepEqual(axisPlan(13), [0, 1, 2, 3, 4, 5, 6, 7]);
  assert.deepEqual(axisPlan(1), [-1]);
  const part = (n, v) => singleSensorSeries(doc({ sensorType: 13, sampleSize: 1, datalength: n }),
    Float32Array.from([...Array(n).keys()].map((i) => i / 100).concat(Array(n).fill(v))));
  const merged = mergeAxisSeries([part(3, 0), part(4, 1.5)]);
  assert.equal(merged.length, 3);
  assert.deepEqual(merged.values.map((c) => [...c]), [[0, 0, 0], [1.5, 1.5, 1.5]]);
  const withEmpty = mergeAxisSeries([part(3, 0), part(0, 1)]);
  assert.equal(withEmpty.length, 0);
  assert.equal(withEmpty.values.length, 2);
});

test('axis descriptions follow the query: all axes, one axis, a derived lead', () => {
  assert.deepEqual(axisDescriptions(4, -1, 2).map((a) => a.unit), ['kPa', '°C']);
  assert.equal(axisDescriptions(1, 2, 1)[0].label, 'z');
  assert.equal(axisDescriptions(241, 6, 1)[0].label, 'mean − in 7');
  assert.equal(axisDescriptions(13, 5, 1)[0].label, 'line 5');
  assert.equal(axisDescriptions(241, -1, 6).length, 6);
});

test('query rate: about one sample per pixel, never more than the sensor records', () => {
  assert.equal(queryRate(800, 10, 4800), 80);
  assert.equal(queryRate(800, 10, 50), -1); // 50 Hz gives fewer points than pixels: take them all
  assert.equal(queryRate(800, 0.1, 4800), -1); // zoomed deep: every stored sample
  assert.equal(queryRate(800, 100000, 4800), 1); // never 0, which would mean no resampling
  assert.equal(queryRate(0, 10, 100), -1);
  assert.equal(queryRate(800, 0, 100), -1);
});

test('live window, zoom and pan stay inside the run', () => {
  assert.deepEqual(liveRange(3, 10), { min: 0, max: 10 });
  assert.deepEqual(liveRange(25, 10), { min: 15, max: 25 });
  assert.deepEqual(liveRange(NaN, 10), { min: 0, max: 10 });
  const z = zoomRange({ min: 0, max: 100 }, 0.5, 50, 100);
  assert.deepEqual(z, { min: 25, max: 75 });
  assert.deepEqual(zoomRange({ min: 0, max: 100 }, 0.5, 0, 100), { min: 0, max: 50 });
  assert.deepEqual(zoomRange({ min: 40, max: 60 }, 4, 50, 100), { min: 10, max: 90 });
  assert.deepEqual(zoomRange({ min: 0, max: 100 }, 3, 50, 100), { min: 0, max: 100 });
  assert.deepEqual(panRange({ min: 80, max: 100 }, 0.5, 100), { min: 80, max: 100 });
  assert.deepEqual(panRange({ min: 10, max: 30 }, -1, 100), { min: 0, max: 20 });
  assert.deepEqual(zoomRange({ min: 0, max: 1 }, 0.0001, 0.5, 1, 0.01), { min: 0.495, max: 0.505 });
});
