// Number buffers of the sensor-data replies -> column arrays.
//
// One sensor (E samples, G values each): times, then G converted columns, then - only when
// raw values were asked for - G raw columns; every column E numbers long.
// Two sensors (C matched times, A and B values): times, A columns of the first sensor,
// B columns of the second.
import { PayloadError } from './bytes.js';
import { asArray } from './bsondoc.js';

function count(value, what) {
  if (!Number.isInteger(value) || value < 0) throw new PayloadError(`${what} is not a count: ${value}`);
  return value;
}

function column(floats, index, length) {
  return floats.subarray(index * length, (index + 1) * length);
}

const EMPTY = new Float32Array(0);

// doc: the decoded document; floats: Float32Array or null (an empty result has no buffer).
export function singleSensorSeries(doc, floats) {
  if (!doc || doc.datalength === undefined) {
    // The library answers an unknown sensor with an empty document.
    return null;
  }
  const E = count(doc.datalength, 'datalength');
  const G = count(doc.sampleSize, 'sampleSize');
  const raw = doc.rawdata === true;
  const need = (raw ? 2 * G + 1 : G + 1) * E;
  const data = floats ?? EMPTY;
  if (data.length !== need) {
    throw new PayloadError(`sensor data holds ${data.length} numbers, its layout needs ${need}`);
  }
  const values = [];
  const rawValues = raw ? [] : null;
  for (let j = 1; j <= G; j++) values.push(column(data, j, E));
  if (raw) for (let j = 1; j <= G; j++) rawValues.push(column(data, G + j, E));
  const box = doc.boundingBox ?? {};
  return {
    remote: doc.remote,
    sensorType: doc.sensorType,
    sampleSize: G,
    sampleRate: doc.sampleRate,
    length: E,
    time: column(data, 0, E),
    values,
    raw: rawValues,
    bounds: { min: asArray(box.min), max: asArray(box.max) },
  };
}

export function twoSensorSeries(doc, floats) {
  if (!doc || doc.datalength === undefined) return null;
  const C = count(doc.datalength, 'datalength');
  const types = asArray(doc.sensorType);
  const sizes = asArray(doc.sampleSize);
  if (types.length !== 2 || sizes.length !== 2) {
    throw new PayloadError('two-sensor result does not name two sensors');
  }
  const A = count(Math.trunc(sizes[0]), 'first sampleSize');
  const B = count(Math.trunc(sizes[1]), 'second sampleSize');
  const data = floats ?? EMPTY;
  const need = C * (A + B + 1);
  if (data.length !== need) {
    throw new PayloadError(`paired data holds ${data.length} numbers, its layout needs ${need}`);
  }
  const first = [];
  const second = [];
  for (let j = 0; j < A; j++) first.push(column(data, 1 + j, C));
  for (let j = 0; j < B; j++) second.push(column(data, 1 + A + j, C));
  return {
    remote: doc.remote,
    sampleRate: doc.sampleRate,
    sensorTypes: [Math.trunc(types[0]), Math.trunc(types[1])],
    sampleSizes: [A, B],
    length: C,
    time: column(data, 0, C),
    first,
    second,
  };
}

// Several single-axis results of one sensor (digital lines, derived leads) -> one series
// with one column per result, on the time base of the first. Results of different lengths
// (the recording grew between two queries) are cut to the shortest, so every column stays
// aligned with the time column; a missing part empties the whole series.
export function mergeAxisSeries(parts) {
  if (parts.length === 0) return null;
  const n = Math.min(...parts.map((p) => (p ? p.length : 0)));
  const base = parts.find((p) => p) ?? null;
  if (!base) return null;
  const cut = (col) => (col ? col.subarray(0, n) : EMPTY);
  return {
    ...base,
    sampleSize: parts.length,
    length: n,
    time: cut(base.time),
    values: parts.map((p) => cut(p && p.values[0])),
    raw: base.raw ? parts.map((p) => cut(p && p.raw && p.raw[0])) : null,
  };
}
