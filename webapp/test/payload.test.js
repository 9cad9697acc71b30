import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Double } from '../client/lib/bson.js';
import { byteStringToBytes, bytesToFloats, PayloadError } from '../client/js/bytes.js';
import { decodeDocument, decodeDocumentString, asArray, encodeDocumentToByteList } from '../client/js/bsondoc.js';
import { docToByteString, bytesToByteString } from './fake-app.js';

test('byte strings become bytes, zero and 255 included', () => {
  assert.deepEqual([...byteStringToBytes('\x00\xff\x10')], [0, 255, 16]);
  assert.equal(byteStringToBytes('').length, 0);
  // A five-byte empty document starts with its length.
  assert.equal(byteStringToBytes(docToByteString({}))[0], 5);
});

test('a character above 255 is refused, not truncated', () => {
  assert.throws(() => byteStringToBytes('ab\u0141'), PayloadError);
  assert.throws(() => byteStringToBytes(null), PayloadError);
});

test('number buffers are little-endian floats and must be whole', () => {
  const bytes = new Uint8Array([0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x20, 0xc1]);
  assert.deepEqual([...bytesToFloats(bytes)], [1, -10]);
  // Unaligned views (a sub-array at an odd offset) read the same numbers.
  const shifted = new Uint8Array(9);
  shifted.set(bytes, 1);
  assert.deepEqual([...bytesToFloats(shifted.subarray(1))], [1, -10]);
  assert.throws(() => bytesToFloats(new Uint8Array(7)), /not a whole number of floats/);
});

test('hardware state document decodes with its types and nested arrays', () => {
  const report = {
    dongleID: 0x123456, fwVersion: 258, dongleMode: 8, donglePlugged: 1,
    remote1: {
      remoteID: 4779, rfStatus: 1, pairStatus: 1, fixedConfig: 38, configured: true,
      batteryVoltage: new Double(3.75),
      outputConfig: [{ sensor: 12, keyValues: [{ key: 1, value: 3 }] }],
    },
    remote2: {
      remoteID: 0, rfStatus: 0, pairStatus: 0, fixedConfig: 0, configured: false,
      batteryVoltage: new Double(0), outputConfig: [],
    },
  };
  const doc = decodeDocumentString(docToByteString(report));
  assert.equal(doc.dongleID, 0x123456);
  assert.equal(doc.donglePlugged, 1);
  assert.equal(doc.remote1.configured, true);
  assert.equal(doc.remote1.batteryVoltage, 3.75);
  assert.equal(doc.remote2.batteryVoltage, 0);
  assert.deepEqual(doc.remote1.outputConfig[0].keyValues, [{ key: 1, value: 3 }]);
  assert.deepEqual(doc.remote2.outputConfig, []);
  assert.deepEqual(Object.keys(doc), ['dongleID', 'fwVersion', 'dongleMode', 'donglePlugged', 'remote1', 'remote2']);
});

test('acquisition stack and list documents decode', () => {
  const stack = decodeDocumentString(docToByteString({
    ID: '0b0c3c2e-5b8f-4a8e-9f3e-0123456789ab', fromDB: true, lastStartDate: '20150302T140509.125000',
    remote1: { config: 45, sensors: [{ remote: 1, config: 45, sensorType: 12, sampleSize: 1 }] },
  }));
  assert.equal(stack.fromDB, true);
  assert.equal(stack.remote1.sensors[0].sensorType, 12);
  assert.equal(stack.remote2, undefined);
  const list = decodeDocumentString(docToByteString({ acquisitionList: [] }));
  assert.deepEqual(list.acquisitionList, []);
});

test('arrays written as documents with numeric keys read as arrays', () => {
  assert.deepEqual(asArray({ 0: 3, 1: 1 }), [3, 1]);
  assert.deepEqual(asArray([2.5]), [2.5]);
  assert.deepEqual(asArray(undefined), []);
  const doc = decodeDocumentString(docToByteString({ sampleSize: { 0: new Double(3), 1: new Double(1) } }));
  assert.deepEqual(asArray(doc.sampleSize), [3, 1]);
});

test('damaged documents are refused with a clear error', () => {
  const good = byteStringToBytes(docToByteString({ success: true }));
  assert.equal(decodeDocument(good).success, true);
  assert.throws(() => decodeDocument(good.subarray(0, good.length - 1)), /declares \d+ bytes but \d+ arrived/);
  const padded = new Uint8Array(good.length + 1);
  padded.set(good);
  assert.throws(() => decodeDocument(padded), /declares/);
  assert.throws(() => decodeDocument(new Uint8Array([4, 0, 0, 0])), /too short/);
  const badEnd = Uint8Array.from(good);
  badEnd[badEnd.length - 1] = 1;
  assert.throws(() => decodeDocument(badEnd), PayloadError);
  // An element type that does not exist.
  const badType = Uint8Array.from([8, 0, 0, 0, 0x77, 0x61, 0x00, 0x00]);
  assert.throws(() => decodeDocument(badType), PayloadError);
});

test('page documents travel as byte lists that decode back', () => {
  const list = encodeDocumentToByteList({ remoteID: 4779, sensor: 8, calOffset: 12.5, calScale: -118.5 });
  assert.ok(list.every((b) => Number.isInteger(b) && b >= 0 && b <= 255));
  const back = decodeDocumentString(bytesToByteString(list));
  assert.deepEqual(back, { remoteID: 4779, sensor: 8, calOffset: 12.5, calScale: -118.5 });
});
