import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  accelerometerCalibration, forceCalibration, restingMeans, checkResting, calibrationRecord, encodeRecord,
  calibrationRows, convert, CalibrationError, FORCE_OFFSET, GRAVITY,
} from '../client/js/calibration.js';
import { deserialize } from '../client/lib/bson.js';

const close = (a, b, eps = 1e-9) => assert.ok(Math.abs(a - b) < eps, `${a} != ${b}`);

// Raw means a remote with offsets (-228.5, -109, -169.5) and scales (838, 842, 844) counts
// per g gives on each face (the axis up reads +1 g, down -1 g, the others 0 g).
const OFF = [-228.5, -109, -169.5];
const SC = [838, 842, 844];
function faces() {
  const out = {};
  for (const axis of [0, 1, 2]) {
    for (const sign of [1, -1]) {
      out[`${'xyz'[axis]}${sign > 0 ? '+' : '-'}`] = [0, 1, 2].map((k) => OFF[k] + (k === axis ? sign * SC[k] : 0));
    }
  }
  return out;
}

test('six faces give back the offsets and scales, and convert the faces to +-1 g', () => {
  const { offset, scale } = accelerometerCalibration(faces());
  assert.deepEqual(offset, OFF);
  assert.deepEqual(scale, SC);
  const f = faces();
  close(convert(f['y-'][1], offset[1], scale[1]), -1);
  close(convert(f['z+'][2], offset[2], scale[2]), 1);
  close(convert(f['z+'][0], offset[0], scale[0]), 0);
});

test('faces measured wrongly are refused with the reason', () => {
  const f = faces();
  const code = (fn) => { try { fn(); } catch (e) { assert.ok(e instanceof CalibrationError); return [e.code, e.detail.axis]; } return null; };
  assert.deepEqual(code(() => accelerometerCalibration({ ...f, 'y-': undefined })), ['cal.err.missingFace', 'y']);
  // Not turned between the two z faces.
  assert.deepEqual(code(() => accelerometerCalibration({ ...f, 'z-': f['z+'] })), ['cal.err.notTurned', 'z']);
  // x faces swapped: a negative scale would flip the axis.
  assert.deepEqual(code(() => accelerometerCalibration({ ...f, 'x+': f['x-'], 'x-': f['x+'] })), ['cal.err.swapped', 'x']);
  assert.deepEqual(code(() => accelerometerCalibration({ ...f, 'x+': [NaN, 0, 0] })), ['cal.err.missingFace', 'x']);
});

test('a resting measurement needs data on every axis and little movement', () => {
  const still = restingMeans([[600, 610, 605], [-110, -108, -109], [675, 675, 675]]);
  assert.deepEqual(checkResting(still), [605, -109, 675]);
  assert.throws(() => checkResting(restingMeans([[600, 800], [0, 0], [0, 0]])), /cal.err.moving/);
  assert.throws(() => checkResting(restingMeans([[], [], []])), /cal.err.noData/);
  assert.throws(() => checkResting(restingMeans([[1]])), /cal.err.noData/);
});

test('force: tare from the empty hook, scale from a known mass', () => {
  // Empty hook reads 2100 counts; 500 g pulls it to 1511.4 counts.
  const { tare, scale } = forceCalibration(2100, 1511.4, 0.5);
  close(tare, 2100 - FORCE_OFFSET);
  close(scale, (1511.4 - 2100) / (0.5 * GRAVITY));
  // The loaded hook now reads the weight of the mass, the empty one zero.
  close((1511.4 - FORCE_OFFSET - tare) / scale, 0.5 * GRAVITY);
  close((2100 - FORCE_OFFSET - tare) / scale, 0);
  assert.throws(() => forceCalibration(2100, 2101, 0.5), /cal.err.noLoad/);
  assert.throws(() => forceCalibration(2100, 1500, 0), /cal.err.mass/);
  assert.throws(() => forceCalibration(2100, 1500, -1), /cal.err.mass/);
  assert.throws(() => forceCalibration(NaN, 1500, 1), /cal.err.noData/);
});

test('records encode as BSON with int32 identifiers and double constants', () => {
  const when = new Date(Date.UTC(2024, 0, 5, 10, 0, 0));
  const accel = calibrationRecord(0x12ab, 1, { offset: [-228, -109, -170], scale: [838, 842, 844] }, when);
  const bytes = Uint8Array.from(encodeRecord(accel));
  const back = deserialize(bytes, { promoteValues: false });
  assert.deepEqual(Object.keys(back), ['remoteID', 'sensor', 'calOffset', 'calScale', 'created', 'method']);
  assert.equal(back.remoteID._bsontype, 'Int32');
  assert.equal(back.remoteID.value, 4779);
  // Whole-number constants still travel as doubles: element type 0x01 inside the arrays.
  assert.equal(back.calOffset[0]._bsontype, 'Double');
  assert.equal(back.calScale[2].value, 844);
  const force = calibrationRecord(4779, 8, { offset: 12.5, scale: -118 }, when);
  const f = deserialize(Uint8Array.from(encodeRecord(force)), { promoteValues: false });
  assert.equal(f.calOffset._bsontype, 'Double');
  assert.equal(f.calScale.value, -118);
  assert.throws(() => calibrationRecord(-1, 1, { offset: [0, 0, 0], scale: [1, 1, 1] }), /cal.err.remoteID/);
  assert.throws(() => calibrationRecord(1, 1, { offset: [0, 0], scale: [1, 1] }), /cal.err.noData/);
  assert.throws(() => calibrationRecord(1, 8, { offset: 1, scale: 0 }), /cal.err.noLoad/);
});

test('listed records: scalars and arrays read alike, junk skipped, newest first', () => {
  const rows = calibrationRows({ calibrationList: [
    { remoteID: 1, sensor: 8, calOffset: 3, calScale: -120, created: '2024-01-01T00:00:00Z' },
    { remoteID: 2, sensor: 1, calOffset: [1, 2, 3], calScale: [4, 5, 6], created: '2024-02-01T00:00:00Z' },
    { sensor: 1 }, null,
  ] });
  assert.deepEqual(rows.map((r) => [r.remoteID, r.offset, r.scale]), [[2, [1, 2, 3], [4, 5, 6]], [1, [3], [-120]]]);
  assert.deepEqual(calibrationRows({}), []);
});
