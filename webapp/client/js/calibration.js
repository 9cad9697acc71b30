// Calibration arithmetic and records.
//
// Converted values are (raw - offset) / scale per axis. Resting on a face, the axis that
// points up reads +1 g and the axis that points down -1 g; the two faces of one axis give
//   offset = (up + down) / 2,   scale = (up - down) / 2   (counts per g).
// The force probe converts (raw - 2047 - tare) / scale: with nothing on the hook the mean
// raw value gives the tare, a known mass m then gives scale = (loaded - empty) / (m x g).
import { Double } from '../lib/bson.js';
import { asArray, encodeDocumentToByteList } from './bsondoc.js';

export const ACCELEROMETER = 1;
export const FORCE = 8;
export const FORCE_OFFSET = 2047;
export const GRAVITY = 9.81; // N per kg, as used in class

// The six faces in the order the guide asks for them: axis index and direction.
export const FACES = [
  { id: 'x+', axis: 0, up: true },
  { id: 'x-', axis: 0, up: false },
  { id: 'y+', axis: 1, up: true },
  { id: 'y-', axis: 1, up: false },
  { id: 'z+', axis: 2, up: true },
  { id: 'z-', axis: 2, up: false },
];

// Plausibility limits: a scale of fewer counts per g means the remote was not turned
// between the two faces; a resting remote that moves more than this is being handled.
const MIN_COUNTS_PER_G = 100;
const MAX_SPREAD_COUNTS = 60;
const MIN_FORCE_COUNTS = 5;

export class CalibrationError extends Error {
  constructor(code, detail = {}) {
    super(code);
    this.name = 'CalibrationError';
    this.code = code; // catalogue key of the explanation
    this.detail = detail;
  }
}

export function mean(column) {
  if (!column || column.length === 0) return NaN;
  let sum = 0;
  for (let i = 0; i < column.length; i++) sum += column[i];
  return sum / column.length;
}

// Mean and spread (max - min) of each raw column of a resting measurement.
export function restingMeans(rawColumns) {
  return asArray(rawColumns).map((c) => {
    let min = Infinity;
    let max = -Infinity;
    for (let i = 0; i < c.length; i++) { min = Math.min(min, c[i]); max = Math.max(max, c[i]); }
    return { mean: mean(c), spread: c.length ? max - min : NaN, count: c.length };
  });
}

// Checks one resting measurement before it is accepted as a face.
export function checkResting(stats, { axes = 3 } = {}) {
  if (stats.length < axes || stats.some((s) => !(s.count > 0))) throw new CalibrationError('cal.err.noData');
  if (stats.some((s) => s.spread > MAX_SPREAD_COUNTS)) throw new CalibrationError('cal.err.moving');
  return stats.map((s) => s.mean);
}

// faceMeans: { 'x+': [mx, my, mz], 'x-': [...], ... } (raw means of all three axes per face)
// -> { offset: [ox, oy, oz], scale: [sx, sy, sz] }.
export function accelerometerCalibration(faceMeans) {
  const offset = [];
  const scale = [];
  for (const axis of [0, 1, 2]) {
    const name = 'xyz'[axis];
    const up = faceMeans?.[`${name}+`]?.[axis];
    const down = faceMeans?.[`${name}-`]?.[axis];
    if (!Number.isFinite(up) || !Number.isFinite(down)) throw new CalibrationError('cal.err.missingFace', { axis: name });
    const s = (up - down) / 2;
    if (Math.abs(s) < MIN_COUNTS_PER_G) throw new CalibrationError('cal.err.notTurned', { axis: name });
    // The faces were swapped: the result would turn the axis upside down.
    if (s < 0) throw new CalibrationError('cal.err.swapped', { axis: name });
    offset.push((up + down) / 2);
    scale.push(s);
  }
  return { offset, scale };
}

// Force: mean raw counts with nothing on the hook, then with `massKg` hanging from it.
export function forceCalibration(emptyMean, loadedMean, massKg) {
  if (!Number.isFinite(emptyMean) || !Number.isFinite(loadedMean)) throw new CalibrationError('cal.err.noData');
  if (!(massKg > 0) || !Number.isFinite(massKg)) throw new CalibrationError('cal.err.mass');
  const diff = loadedMean - emptyMean;
  if (Math.abs(diff) < MIN_FORCE_COUNTS) throw new CalibrationError('cal.err.noLoad');
  return { tare: emptyMean - FORCE_OFFSET, scale: diff / (massKg * GRAVITY) };
}

// Converted value of a raw count with a calibration (the library's formula), for showing
// the teacher what the new constants make of the measurements.
export function convert(raw, offset, scale) {
  return (raw - offset) / scale;
}

// The record saved with command 3. Keys the library reads come first; "created" and
// "method" are kept and listed unchanged. Integers stay int32, constants are doubles.
export function calibrationRecord(remoteID, sensor, { offset, scale }, created = new Date()) {
  if (!Number.isInteger(remoteID) || remoteID < 0 || remoteID > 0xffffff) throw new CalibrationError('cal.err.remoteID');
  const one = (v) => {
    if (!Number.isFinite(v)) throw new CalibrationError('cal.err.noData');
    return v;
  };
  const record = { remoteID, sensor };
  if (sensor === FORCE) {
    if (one(scale) === 0) throw new CalibrationError('cal.err.noLoad');
    record.calOffset = one(offset);
    record.calScale = scale;
  } else {
    if (offset.length !== 3 || scale.length !== 3) throw new CalibrationError('cal.err.noData');
    if (scale.some((s) => one(s) === 0)) throw new CalibrationError('cal.err.notTurned', { axis: '?' });
    record.calOffset = offset.map(one);
    record.calScale = scale.slice();
  }
  record.created = created.toISOString();
  record.method = sensor === FORCE ? 'tare and known mass' : 'six faces';
  return record;
}

// Stored records from the list command -> rows for the page, newest first.
export function calibrationRows(doc) {
  return asArray(doc?.calibrationList).filter((r) => r && Number.isInteger(r.remoteID) && Number.isInteger(r.sensor))
    .map((r) => ({
      remoteID: r.remoteID,
      sensor: r.sensor,
      offset: asArray(r.calOffset).length ? asArray(r.calOffset) : [r.calOffset],
      scale: asArray(r.calScale).length ? asArray(r.calScale) : [r.calScale],
      created: typeof r.created === 'string' ? r.created : '',
    }))
    .sort((a, b) => b.created.localeCompare(a.created) || a.remoteID - b.remoteID || a.sensor - b.sensor);
}

// Record -> byte list for the request. Constants travel as doubles even when they happen
// to be whole numbers, identifiers as int32.
export function encodeRecord(record) {
  const dbl = (v) => (Array.isArray(v) ? v.map((x) => new Double(x)) : new Double(v));
  return encodeDocumentToByteList({ ...record, calOffset: dbl(record.calOffset), calScale: dbl(record.calScale) });
}
